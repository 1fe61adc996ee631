// Linked into a test build of the tool in place of FreeImage_Allocate: the library yields no
// bitmap and reports nothing, as it does for some sizes it cannot hold.
#include <FreeImage.h>

extern "C" FIBITMAP *__wrap_FreeImage_Allocate(int, int, int, unsigned, unsigned, unsigned)
{
    return nullptr;
}
