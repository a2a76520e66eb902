#include "ulog/ulogFormats.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace ulog {

namespace {

struct basicName {
    std::string_view name;  // compared by length first: every key and field is looked up
    cType type;
};
const basicName basics[] = {
    {"int8_t", INT8_T},   {"uint8_t", UINT8_T},   {"int16_t", INT16_T}, {"uint16_t", UINT16_T},
    {"int32_t", INT32_T}, {"uint32_t", UINT32_T}, {"int64_t", INT64_T}, {"uint64_t", UINT64_T},
    {"float", FLOAT},     {"double", DOUBLE},     {"bool", BOOL},       {"char", CHAR},
};

// Nested types deeper than this are taken for a cycle.
constexpr unsigned maxDepth = 32;

// "type[N]" into "type" and N; a type without brackets has count 1. Empty
// arrays are allowed only where `empty` says (the value of an info message:
// an empty text is "char[0]").
bool splitArray(std::string_view text, std::string_view& type, uint32_t& count, bool& array, bool empty) {
    const std::size_t open = text.find('[');
    if (open == std::string_view::npos) {
        type = text;
        count = 1;
        array = false;
        return !type.empty();
    }
    if (open == 0 || text.back() != ']' || open + 2 >= text.size()) return false;
    uint64_t n = 0;
    for (std::size_t i = open + 1; i + 1 < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > maxRow) return false;  // no row holds more elements
    }
    if (n == 0 && !empty) return false;
    type = text.substr(0, open);
    count = static_cast<uint32_t>(n);
    array = true;
    return true;
}

// "type name" into its two words.
bool splitTypeAndName(std::string_view text, std::string_view& type, std::string_view& name) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0 || space + 1 >= text.size()) return false;
    type = text.substr(0, space);
    name = text.substr(space + 1);
    return name.find(' ') == std::string_view::npos;
}

bool isPadding(const std::string& name) { return name.compare(0, 8, "_padding") == 0; }

std::size_t withoutTrailingNuls(const char* text, std::size_t length) {
    while (length > 0 && text[length - 1] == '\0') --length;
    return length;
}

}  // namespace

cType basicType(std::string_view name) {
    for (const basicName& b : basics)
        if (name == b.name) return b.type;
    return NONE;
}

bool parseFormat(const char* text, std::size_t length, format& out) {
    const std::string_view whole(text, withoutTrailingNuls(text, length));
    const std::size_t colon = whole.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    out.name = whole.substr(0, colon);
    out.text = whole.substr(colon + 1);
    out.fields.clear();
    out.fields.reserve(static_cast<std::size_t>(std::count(whole.begin() + colon, whole.end(), ';')) + 1);
    std::size_t from = colon + 1;
    while (from < whole.size()) {
        std::size_t end = whole.find(';', from);
        if (end == std::string_view::npos) end = whole.size();
        if (end > from) {
            std::string_view typeText, name, type;
            field f;
            if (!splitTypeAndName(whole.substr(from, end - from), typeText, name) ||
                !splitArray(typeText, type, f.count, f.array, false))
                return false;
            f.type = type;
            f.name = name;
            f.basic = basicType(type);
            out.fields.push_back(std::move(f));
        }
        from = end + 1;
    }
    return !out.fields.empty();
}

bool parseKey(const char* text, std::size_t length, key& out) {
    std::string_view typeText, name, base;
    if (!splitTypeAndName(std::string_view(text, length), typeText, name) ||
        !splitArray(typeText, base, out.count, out.array, true))
        return false;
    out.typeText = typeText;
    out.name = name;
    out.type = basicType(base);
    return out.type != NONE;
}

void formatBook::define(format f) {
    const auto known = formats.find(f.name);
    if (known != formats.end() && known->second.f.text == f.text) return;  // the same definition again
    const std::string name = f.name;
    const uint64_t version = versions.emplace(name + '\0' + f.text, versions.size() + 1).first->second;
    for (const field& member : f.fields)
        if (member.basic == NONE) nestedIn[member.type].insert(name);
    formats[name] = definition{std::move(f), version};
    // Later subscriptions of this message, and of those nesting it, resolve
    // again, against the formats as they now are.
    forget(name);
}

void formatBook::forget(const std::string& name) {
    std::set<std::string> seen{name};
    std::vector<const std::string*> todo{&name};
    while (!todo.empty()) {
        const std::string& next = *todo.back();
        todo.pop_back();
        resolved.erase(next);
        const auto users = nestedIn.find(next);
        if (users == nestedIn.end()) continue;
        for (const std::string& user : users->second)
            if (seen.insert(user).second) todo.push_back(&user);
    }
}

std::string formatBook::ingredients(const std::string& name) const {
    std::map<std::string, uint64_t> reached{{name, 0}};
    std::vector<const std::string*> todo{&name};
    while (!todo.empty()) {
        const std::string& next = *todo.back();
        todo.pop_back();
        const auto found = formats.find(next);
        if (found == formats.end()) continue;
        reached[next] = found->second.version;
        for (const field& member : found->second.f.fields)
            if (member.basic == NONE && reached.emplace(member.type, 0).second) todo.push_back(&member.type);
    }
    std::string key = name;
    for (const auto& [type, version] : reached) {
        key += '\0';
        key += type;
        key += '\0';
        key += std::to_string(version);
    }
    return key;
}

const layout* formatBook::resolve(const std::string& name) {
    const auto done = resolved.find(name);
    if (done != resolved.end()) return done->second;
    const auto found = formats.find(name);
    const layout* result = nullptr;
    if (found != formats.end()) {
        std::string key = ingredients(name);
        auto made = layouts.find(key);
        if (made == layouts.end()) made = layouts.emplace(std::move(key), build(found->second.f)).first;
        result = made->second.get();
    }
    resolved[name] = result;
    return result;
}

std::unique_ptr<layout> formatBook::build(const format& f) const {
    auto made = std::make_unique<layout>();
    made->name = f.name;
    made->text = f.text;
    uint32_t offset = 0, end = 0;
    for (const field& member : f.fields) {
        if (!flatten(member, "", offset, made->leaves, 0)) return nullptr;
        // Rows may leave out the padding after the last real field.
        if (!isPadding(member.name)) end = offset;
        const cType basic = member.basic;
        if (member.name == "timestamp" && !made->timed && !member.array && basic != NONE && basic != FLOAT &&
            basic != DOUBLE && basic != CHAR && basic != BOOL) {
            made->timed = true;
            made->timestampOffset = offset - static_cast<uint32_t>(cTypeSize[basic]);
            made->timestampType = basic;
        }
    }
    made->size = offset;
    made->minimum = end;
    // The padding at the end is not logged; padding elsewhere is, and
    // stays a column, as other readers give it.
    while (!made->leaves.empty() && made->leaves.back().offset >= end) made->leaves.pop_back();
    return made;
}

bool formatBook::flatten(const field& member, const std::string& prefix, uint32_t& offset, std::vector<leaf>& out,
                         unsigned depth) const {
    if (depth > maxDepth) return false;
    const cType basic = member.basic;
    if (basic != NONE) {
        const uint64_t end = offset + static_cast<uint64_t>(cTypeSize[basic]) * member.count;
        if (end > maxRow) return false;
        out.push_back({prefix + member.name, basic, member.count, offset});
        offset = static_cast<uint32_t>(end);
        return true;
    }
    const auto nested = formats.find(member.type);
    if (nested == formats.end()) return false;
    for (uint32_t i = 0; i < member.count; ++i) {
        std::string inner = prefix + member.name;
        if (member.array) inner += "[" + std::to_string(i) + "]";
        inner += '.';
        // Every format has a field and every field a byte, so the row size
        // bounds the work.
        for (const field& part : nested->second.f.fields)
            if (!flatten(part, inner, offset, out, depth + 1)) return false;
    }
    return true;
}

}  // namespace ulog
