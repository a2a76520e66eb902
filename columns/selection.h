// Which message names a reader decodes: all, or those matching shell patterns.
#ifndef QUILLON_SELECTION_H
#define QUILLON_SELECTION_H

#include <string>
#include <unordered_set>
#include <vector>

namespace columns {

class selection {
public:
    // Every name.
    selection() = default;
    // Names matching any of `patterns` ("GPS", "XKF*", "GPS?"), ignoring case.
    explicit selection(const std::vector<std::string>& patterns);

    bool matches(const std::string& name) const;

private:
    bool all = true;
    // Folded to lower case: plain names, looked up at once, and the patterns
    // with wildcards, which only fnmatch can tell.
    std::unordered_set<std::string> names;
    std::vector<std::string> patterns;
};

}  // namespace columns

#endif
