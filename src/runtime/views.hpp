// Read-only strided views over NumPy buffers, as plain C++ (no Python).
// Element (i) of a 1-D view lies at data + i*stride0, element (i, j) of a
// 2-D view at data + i*stride0 + j*stride1, strides in bytes, any sign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvane {

template <class T>
struct StridedView {
    const char* data = nullptr;
    std::size_t rows = 0;        // length of axis 0
    std::size_t cols = 1;        // length of axis 1 (1 for 1-D views)
    std::ptrdiff_t rs = 0;       // byte stride of axis 0
    std::ptrdiff_t cs = 0;       // byte stride of axis 1

    // memcpy keeps reads well-defined for unaligned or odd byte strides.
    T at(std::size_t i) const {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * rs, sizeof(T));
        return v;
    }
    T at(std::size_t i, std::size_t j) const {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs, sizeof(T));
        return v;
    }

    bool aligned() const { return reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0; }

    // Unit element stride along axis 1 and rows packed back to back, with
    // data aligned so it can be read as a plain T array. Strides that are
    // not whole elements never count as contiguous.
    bool row_major() const {
        if (rows == 0 || cols == 0) return true;
        if (!aligned()) return false;
        const auto es = static_cast<std::ptrdiff_t>(sizeof(T));
        bool col_ok = cols == 1 || cs == es;
        bool row_ok = rows == 1 || rs == static_cast<std::ptrdiff_t>(cols) * es;
        return col_ok && row_ok;
    }

    // 1-D: unit element stride (or fewer than two elements), aligned.
    bool unit_stride_1d() const {
        return rows < 2 ? aligned() || rows == 0 : (rs == static_cast<std::ptrdiff_t>(sizeof(T)) && aligned());
    }

    // Element-by-element copy in logical row-major order.
    std::vector<T> copy_row_major() const {
        std::vector<T> out(rows * cols);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = at(i, j);
        return out;
    }
};

// A 2-D view brought into row-major form: points into the original buffer
// when it already is row-major, otherwise into an owned copy.
template <class T>
class RowMajor {
public:
    explicit RowMajor(const StridedView<T>& v) : rows_(v.rows), cols_(v.cols) {
        if (v.row_major()) {
            ptr_ = reinterpret_cast<const T*>(v.data);
        } else {
            copy_ = v.copy_row_major();
            ptr_ = copy_.data();
        }
    }
    RowMajor(const RowMajor&) = delete;
    RowMajor& operator=(const RowMajor&) = delete;
    const T* row(std::size_t i) const { return ptr_ + i * cols_; }
    const T* data() const { return ptr_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

private:
    std::size_t rows_, cols_;
    const T* ptr_ = nullptr;
    std::vector<T> copy_;
};

}  // namespace corvane
