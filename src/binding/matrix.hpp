// The matrix: rows x cols 64-bit floats with a step per axis. Its storage is a
// float64 NumPy array made for the purpose, so that output building can hand
// that array out instead of copying it into another one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/internal_error.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

class Matrix {
public:
    // No cells and no array, until one of the factories below is assigned.
    Matrix() = default;

    // A new matrix, all cells 0.0, row-major.
    static Result<Matrix> zeros(std::size_t rows, std::size_t cols) { return create(rows, cols, false, true); }
    // A new matrix whose cells the caller writes next, row-major or (with
    // `fortran`) column-major.
    static Result<Matrix> uninitialised(std::size_t rows, std::size_t cols, bool fortran) {
        return create(rows, cols, fortran, false);
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }

    // Cell (r, c) without a check; the caller keeps r < rows and c < cols.
    double cell(std::size_t r, std::size_t c) const noexcept {
        return data_[static_cast<std::ptrdiff_t>(r) * row_stride_ + static_cast<std::ptrdiff_t>(c) * col_stride_];
    }

    // Cell (r, c) for writing, under the same terms.
    double& at(std::size_t r, std::size_t c) noexcept {
        return data_[static_cast<std::ptrdiff_t>(r) * row_stride_ + static_cast<std::ptrdiff_t>(c) * col_stride_];
    }

    // The float64 NumPy array holding the values (borrowed). Nothing else
    // refers to it, so it may be handed out as the base array of a result once
    // the matrix is no longer written.
    PyObject* array() const noexcept { return array_.get(); }

private:
    // The size check comes first: rows * cols * 8 bytes must fit a signed
    // machine word, or this stops with "capacity overflow".
    static Result<Matrix> create(std::size_t rows, std::size_t cols, bool fortran, bool zero_fill) {
        std::size_t cells = 0, bytes = 0;
        if (__builtin_mul_overflow(rows, cols, &cells) || __builtin_mul_overflow(cells, sizeof(double), &bytes) ||
            bytes > static_cast<std::size_t>(PTRDIFF_MAX)) {
            panic("capacity overflow");
        }
        QUORIX_TRY(PyRef array, numpy::new_array(numpy::kDouble, rows, cols, fortran));
        double* data = reinterpret_cast<double*>(numpy::as_array(array.get())->data);
        if (zero_fill && bytes != 0) std::memset(data, 0, bytes);
        const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
        return Matrix(std::move(array), data, rows, cols, fortran ? 1 : c, fortran ? r : 1);
    }

    Matrix(PyRef array, double* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
           std::ptrdiff_t col_stride)
        : array_(std::move(array)), data_(data), rows_(rows), cols_(cols), row_stride_(row_stride),
          col_stride_(col_stride) {}

    PyRef array_;
    double* data_ = nullptr;
    std::size_t rows_ = 0, cols_ = 0;
    std::ptrdiff_t row_stride_ = 0, col_stride_ = 0;
};

}  // namespace quorix
