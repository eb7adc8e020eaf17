// Read-only strided matrix view: a window on memory owned by someone else.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>

#include "velmora/sizes.hpp"

namespace velmora {

// A rows x cols matrix laid out with arbitrary non-negative strides (counted in elements),
// e.g. the leading columns of a wider row-major pool.  `data` covers every element the
// view can reach, so a span bound check is a check of the whole view.
template <class T>
struct StridedMatrix {
    std::span<const T> data;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t row_stride = 0;
    std::size_t col_stride = 1;

    // Number of elements from the first to one past the last reachable element;
    // std::length_error when that count does not fit in a size_t.
    static std::size_t extent(std::size_t rows, std::size_t cols, std::size_t row_stride,
                              std::size_t col_stride) {
        if (rows == 0 || cols == 0)
            return 0;
        const char* what = "strided matrix extent";
        return checked_add(checked_add(checked_mul(rows - 1, row_stride, what),
                                       checked_mul(cols - 1, col_stride, what), what),
                           1, what);
    }

    StridedMatrix() = default;
    StridedMatrix(std::span<const T> data, std::size_t rows, std::size_t cols,
                  std::size_t row_stride, std::size_t col_stride)
        : data(data), rows(rows), cols(cols), row_stride(row_stride), col_stride(col_stride) {
        if (extent(rows, cols, row_stride, col_stride) > data.size())
            throw std::invalid_argument("strided matrix: strides reach beyond the data");
    }

    // Row-major contiguous matrix.
    static StridedMatrix contiguous(std::span<const T> data, std::size_t rows, std::size_t cols) {
        return StridedMatrix(data, rows, cols, cols, 1);
    }

    const T* row(std::size_t i) const { return data.data() + i * row_stride; }
    T operator()(std::size_t i, std::size_t j) const { return row(i)[j * col_stride]; }
};

} // namespace velmora
