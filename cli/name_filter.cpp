#include "cli/name_filter.h"

#include <fnmatch.h>

NameFilter::NameFilter(std::vector<std::string> include, std::vector<std::string> exclude, bool ignoreCase)
    : include_(std::move(include)), exclude_(std::move(exclude)), used_(include_.size(), false),
      ignoreCase_(ignoreCase) {
    // "docs/" is how people write a folder; the names carry no trailing slash.
    for (auto* list : {&include_, &exclude_})
        for (std::string& p : *list)
            while (p.size() > 1 && p.back() == '/') p.pop_back();
}

bool NameFilter::Matches(const std::string& pattern, const std::string& name) const {
    int flags = ignoreCase_ ? FNM_CASEFOLD : 0;
    if (fnmatch(pattern.c_str(), name.c_str(), flags) == 0) return true;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        if (fnmatch(pattern.c_str(), name.substr(0, slash).c_str(), flags) == 0) return true;
    return false;
}

bool NameFilter::Selects(const std::string& name) {
    for (const std::string& p : exclude_)
        if (Matches(p, name)) return false;
    if (include_.empty()) return true;
    bool selected = false;
    // Every pattern is tried, so that each one that selects something is marked used.
    for (size_t i = 0; i < include_.size(); ++i)
        if (Matches(include_[i], name)) selected = used_[i] = true;
    return selected;
}

std::vector<std::string> NameFilter::Unmatched() const {
    std::vector<std::string> unmatched;
    for (size_t i = 0; i < include_.size(); ++i)
        if (!used_[i]) unmatched.push_back(include_[i]);
    return unmatched;
}
