// Selection of entries by shell-style name patterns, as unzip and bsdtar take them.
#pragma once

#include <string>
#include <vector>

class NameFilter {
public:
    NameFilter(std::vector<std::string> include, std::vector<std::string> exclude, bool ignoreCase);

    // `name` is the entry's display name: UTF-8, '/' between folders, no trailing '/'.
    // A pattern matches the name itself or any folder above it, so "docs" selects
    // everything under docs/. '*' and '?' match '/' as well.
    bool Selects(const std::string& name);

    // Include patterns that have selected nothing so far.
    std::vector<std::string> Unmatched() const;

private:
    bool Matches(const std::string& pattern, const std::string& name) const;
    std::vector<std::string> include_, exclude_;
    std::vector<bool> used_;
    bool ignoreCase_;
};
