#include "columns/selection.h"

#include <fnmatch.h>

#include <algorithm>
namespace columns {

namespace {
// ASCII case folding: message names are ASCII, and the locale must not matter.
std::string folded(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}
}  // namespace

selection::selection(const std::vector<std::string>& patterns) : all(false) {
    for (const std::string& p : patterns) {
        std::string f = columns::folded(p);
        // Most patterns are plain names: looked up as such, they skip
        // fnmatch, which under a UTF-8 locale converts both to wide text.
        if (f.find_first_of("*?[\\") == std::string::npos)
            names.insert(std::move(f));
        else
            this->patterns.push_back(std::move(f));
    }
}

bool selection::matches(const std::string& name) const {
    if (all) return true;
    const std::string key = columns::folded(name);
    if (names.count(key) != 0) return true;
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::string& pattern) { return fnmatch(pattern.c_str(), key.c_str(), 0) == 0; });
}

}  // namespace columns
