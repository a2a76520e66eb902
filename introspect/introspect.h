// Owned, self-describing records built by deep copy from a cStruct.
#ifndef QUILLON_INTROSPECT_H
#define QUILLON_INTROSPECT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "introspect/c_introspect.h"
#include "introspect/recordLayout.h"

namespace introspect {

class abstractToJson {
public:
    virtual std::string to_json() const = 0;
    virtual ~abstractToJson() = default;
};

class abstractStructMember : public abstractToJson {
public:
    ~abstractStructMember() override = default;
    virtual const std::string& getName() const = 0;
    virtual std::size_t getNumElements() const = 0;
    virtual cType getTypeAsEnum() const = 0;
    virtual void* getInnerPointer() const = 0;
};

// The element actually stored for a member class. `long` and `unsigned long`
// members hold 32-bit elements whatever width the platform gives `long`.
template <typename T> struct storedElement { using type = T; };
template <> struct storedElement<long> { using type = int32_t; };
template <> struct storedElement<unsigned long> { using type = uint32_t; };

// One member of a record. Its name belongs to the record's layout and its
// element array to the block the owning Struct allocates once for all its
// members; both live exactly as long as the record.
template <typename T>
class structMember final : public abstractStructMember {
public:
    using element_type = typename storedElement<T>::type;

    // Copies `shape.count` elements from `values` into `storage`, which must
    // hold that many and, like `shape`, outlive the member.
    structMember(const recordLayout::memberShape& shape, const void* values, void* storage);
    ~structMember() override = default;
    structMember(const structMember&) = delete;
    structMember& operator=(const structMember&) = delete;

    std::string to_json() const override;
    const std::string& getName() const override { return *name; }
    std::size_t getNumElements() const override { return count; }
    cType getTypeAsEnum() const override { return typeEnum; }
    void* getInnerPointer() const override { return elements; }

private:
    const std::string* name;
    element_type* elements;
    std::size_t count;
    cType typeEnum;
};

class Struct : public abstractToJson {
public:
    using member_list = std::vector<abstractStructMember*>;

    // Deep-copies `source`, names included.
    explicit Struct(const cStruct* source);
    // Copies the values of `source`, whose shape `layout` describes (the same
    // names, type codes and counts); the record shares the layout's names.
    Struct(const cStruct* source, const recordLayout& layout);
    ~Struct() override;
    Struct(const Struct&) = delete;
    Struct& operator=(const Struct&) = delete;

    int32_t getNumChildren() const { return static_cast<int32_t>(elements.size()); }
    uint32_t getType() const { return layout->type(); }
    const std::string& getName() const { return layout->name(); }
    // The shared shape of this record; the same object for every record of
    // one message format while any of them lives.
    const recordLayout& getLayout() const { return *layout; }
    member_list::const_iterator begin() const { return elements.begin(); }
    member_list::const_iterator end() const { return elements.end(); }
    const member_list& innerVector() const { return elements; }

    std::string to_json() const override;

    // Records and their member blocks come from a per-thread cache of
    // recycled blocks (block_cache.h): readers make and release them in bursts.
    static void* operator new(std::size_t size);
    static void operator delete(void* record, std::size_t size) noexcept;

    // Size of every member object in a record's block.
    static constexpr std::size_t memberObjectSize = sizeof(structMember<char>);

private:
    void build(const cStruct* source);
    void releaseMembers() noexcept;

    const recordLayout* layout;  // one reference held
    member_list elements;
    // One block holding every member object and its element array, so a
    // record costs a fixed handful of allocations whatever its size.
    unsigned char* storage = nullptr;
};

extern template class structMember<bool>;
extern template class structMember<char>;
extern template class structMember<signed char>;
extern template class structMember<unsigned char>;
extern template class structMember<short>;
extern template class structMember<unsigned short>;
extern template class structMember<int>;
extern template class structMember<unsigned int>;
extern template class structMember<long>;
extern template class structMember<unsigned long>;
extern template class structMember<long long>;
extern template class structMember<unsigned long long>;
extern template class structMember<float>;
extern template class structMember<double>;

}  // namespace introspect

namespace Quillon {
// Releases a record handed out by a reader; a null pointer is ignored.
void deleteStruct(introspect::Struct* record) noexcept;
}  // namespace Quillon

#endif
