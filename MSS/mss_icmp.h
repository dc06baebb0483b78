// A word matched at a position of a text, letter case ignored.
#pragma once

#include <string>

class icomparer {
public:
    explicit icomparer(const std::wstring& word);

    // 0 when the word stands in `text` at `position` and at least one character follows it;
    // -1 when the word and one more character do not fit before the text's end; otherwise the
    // order of the text's characters there against the word (-1 or 1).
    int compare(const std::wstring& text, std::size_t position) const;

    std::wstring word;
};
