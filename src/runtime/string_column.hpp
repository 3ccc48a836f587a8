// A column of UTF-8 strings owned by one call: all bytes in one buffer plus
// an offset table, so converting a million strings costs two growing
// allocations instead of one per string. Pure C++.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class StringColumn {
public:
    void reserve(std::size_t n) { ends_.reserve(n); }
    void push_back(const char* data, std::size_t len) {
        bytes_.append(data, len);
        ends_.push_back(bytes_.size());
    }
    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const noexcept {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_.data() + begin, ends_[i] - begin);
    }
    void clear() noexcept {
        std::string().swap(bytes_);
        std::vector<std::size_t>().swap(ends_);
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;  // ends_[i] = one past the last byte of string i
};

}  // namespace corvane
