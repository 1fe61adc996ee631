// Deterministic English-like text for the benchmarks: no network, no files from outside.
#pragma once

#include <cstddef>
#include <string>

// About bytes bytes (exactly, unless bytes is tiny) of words and punctuation in lines of 0 to
// about 100 bytes, some longer lines that wrap at 80 columns, a few tabs and blank lines.
std::string english_text(std::size_t bytes);

// The longest prefix of text that needs at most lines text lines at columns a line.
std::string first_lines(const std::string &text, int columns, long lines);
