// A compact binary form for plain structs, both ways from one description:
// a struct that is not copied as its bytes says which fields it carries in a
// function Fields(archive, object), and the same function writes and reads it.
// Both ends are the same program: trivially copyable values go as their bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace hm::binary {

class Writer;

// A struct with a Fields description (found by argument-dependent lookup or
// declared before its use).
template <typename T>
concept Described = requires(Writer& archive, T& object) { Fields(archive, object); };

template <typename T>
concept Raw = std::is_trivially_copyable_v<T> && !Described<T>;

class Writer {
public:
    template <typename... T>
    void operator()(const T&... values) {
        (Put(values), ...);
    }
    std::string Take() { return std::move(bytes_); }
    size_t Size() const { return bytes_.size(); }

private:
    template <Raw T>
    void Put(const T& value) {
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    template <Described T>
    void Put(const T& object) {
        Fields(*this, const_cast<T&>(object));  // the description only reads it here
    }
    void Put(const std::string& text) {
        Put(static_cast<uint64_t>(text.size()));
        bytes_ += text;
    }
    template <typename T>
    void Put(const std::vector<T>& values) {
        Put(static_cast<uint64_t>(values.size()));
        if constexpr (Raw<T>) {
            if (!values.empty()) bytes_.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
        } else {
            for (const T& value : values) Put(value);
        }
    }
    // A pointer in a vector is never null: its object goes alone. A pointer
    // field may be null: a byte says whether an object follows.
    template <typename T, typename D>
    void Put(const std::vector<std::unique_ptr<T, D>>& values) {
        Put(static_cast<uint64_t>(values.size()));
        for (const auto& value : values) Put(*value);
    }
    template <typename T, typename D>
    void Put(const std::unique_ptr<T, D>& pointer) {
        Put(static_cast<uint8_t>(pointer != nullptr));
        if (pointer) Put(*pointer);
    }

    std::string bytes_;
};

// The fewest bytes one T takes: what bounds a count before anything is allocated.
template <typename T>
size_t SmallestSize() {
    Writer writer;
    writer(T{});
    return writer.Size();
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool Failed() const { return failed_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

    template <typename... T>
    void operator()(T&... values) {
        (Get(values), ...);
    }

private:
    template <Raw T>
    void Get(T& value) {
        if (!Have(sizeof value)) return;
        std::memcpy(&value, bytes_.data() + at_, sizeof value);
        at_ += sizeof value;
    }
    template <Described T>
    void Get(T& object) {
        Fields(*this, object);
    }
    void Get(std::string& text) {
        const uint64_t size = Count(1);
        if (failed_) return;
        text.assign(bytes_.data() + at_, size);
        at_ += size;
    }
    template <typename T>
    void Get(std::vector<T>& values) {
        const uint64_t count = Count(std::max<size_t>(SmallestSize<T>(), 1));
        if (failed_) return;
        if constexpr (Raw<T>) {
            values.resize(count);
            if (count > 0) std::memcpy(values.data(), bytes_.data() + at_, count * sizeof(T));
            at_ += count * sizeof(T);
        } else {
            values.clear();
            for (uint64_t i = 0; i < count && !failed_; ++i) Get(values.emplace_back());
        }
    }
    template <typename T, typename D>
    void Get(std::vector<std::unique_ptr<T, D>>& values) {
        const uint64_t count = Count(std::max<size_t>(SmallestSize<T>(), 1));
        values.clear();
        for (uint64_t i = 0; i < count && !failed_; ++i) Get(*values.emplace_back(new T()));
    }
    template <typename T, typename D>
    void Get(std::unique_ptr<T, D>& pointer) {
        uint8_t present = 0;
        Get(present);
        pointer.reset(present && !failed_ ? new T() : nullptr);
        if (pointer) Get(*pointer);
    }
    // A count of elements of at least elementSize bytes each, which the bytes left can hold.
    uint64_t Count(size_t elementSize) {
        uint64_t count = 0;
        Get(count);
        if (!failed_ && count > (bytes_.size() - at_) / elementSize) failed_ = true;
        return failed_ ? 0 : count;
    }
    bool Have(size_t size) {
        if (failed_ || size > bytes_.size() - at_) failed_ = true;
        return !failed_;
    }

    std::string_view bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

}  // namespace hm::binary
