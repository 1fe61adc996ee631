// The README's commands, as the tests that run them as written take them: every indented code
// block, found by a piece of its text.
#pragma once

#include "support.h"

#include <sstream>
#include <string>
#include <vector>

// The README's indented code blocks, each as a shell script.
inline std::vector<std::string> readme_blocks()
{
    std::istringstream readme(read_file(std::string(VOZK_SOURCE_DIR) + "/README.md"));
    std::vector<std::string> blocks;
    std::string block;
    bool in_list_item = false; // a block inside a list item is indented by two more spaces
    for (std::string line; std::getline(readme, line);) {
        const std::string indent = in_list_item ? "      " : "    ";
        if (line.rfind(indent, 0) == 0 && line.find_first_not_of(' ') != std::string::npos) {
            block += line.substr(indent.size()) + "\n";
            continue;
        }
        if (!block.empty())
            blocks.push_back(block);
        block.clear();
        if (!line.empty())
            in_list_item = line.rfind("- ", 0) == 0 || (in_list_item && line.rfind("  ", 0) == 0);
    }
    if (!block.empty())
        blocks.push_back(block);
    return blocks;
}

// The one block that holds key, or an empty string if none or several do.
inline std::string readme_block(const std::string &key)
{
    std::string found;
    int count = 0;
    for (const std::string &b : readme_blocks())
        if (b.find(key) != std::string::npos) {
            found = b;
            count++;
        }
    return count == 1 ? found : "";
}
