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
    for (const std::string& p : patterns) this->folded.push_back(columns::folded(p));
}

bool selection::matches(const std::string& name) const {
    if (all) return true;
    const std::string key = columns::folded(name);
    return std::any_of(folded.begin(), folded.end(), [&](const std::string& pattern) {
        // Most patterns are plain names: compared as such, they skip
        // fnmatch, which under a UTF-8 locale converts both to wide text.
        return pattern.find_first_of("*?[\\") == std::string::npos ? pattern == key
                                                                      : fnmatch(pattern.c_str(), key.c_str(), 0) == 0;
    });
}

}  // namespace columns
