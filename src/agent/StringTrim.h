// Trimming of the agent's arguments. Each function takes its text by value and returns a new
// string; `set` holds the characters to strip.
#pragma once
#include <string>

// Removes the trailing run of characters that occur in set; a text made only of them becomes empty.
std::wstring TrimRight(std::wstring text, const std::wstring& set);
// Removes the leading run of characters that occur in set.
std::wstring TrimLeft(std::wstring text, const std::wstring& set);
// TrimRight, then TrimLeft.
std::wstring Trim(std::wstring text, const std::wstring& set);
