// NumPy's text arrays read where they lie.
//
// Item access gives a numpy.str_ (for 'U'), a numpy.bytes_ (for 'S') or a
// str or the dtype's na_object (for StringDType), and reading cell by cell makes
// each column a string column at its first cell that does not convert to a
// float: the first cell, but for missing cells whose na_object is NaN. The
// cells are read on the pool, a column per job: UCS4 as UTF-8, bytes as
// their repr (str() of numpy.bytes_), StringDType strings where they lie.
#include "binding/numpy_text_array.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/label_encode_blocks.hpp"
#include "engine/encode_object_array.hpp"
#include "engine/number_text.hpp"
#include "binding/none_reading.hpp"
#include "binding/object_text.hpp"
#include "binding/numpy_api.hpp"
#include "engine/parallel_loops.hpp"
#include "binding/py_ref.hpp"
#include "engine/ucs4_utf8.hpp"
#include "engine/utf8.hpp"

namespace quorix {
namespace {

enum class TextKind : std::uint8_t { kUnicode, kBytes, kStrings };

struct TextArray {
    TextKind kind;
    const char* data;
    numpy::npy_intp row_step, col_step;
    std::size_t rows, cols;
    std::size_t itemsize;
    bool swapped;  // 'U' in the other byte order
    // StringDType's load, taken on the calling thread for the workers.
    int (*load)(numpy::StringAllocator*, const void*, numpy::StaticString*);

    const char* cell(std::size_t r, std::size_t c) const noexcept {
        return data + static_cast<numpy::npy_intp>(r) * row_step + static_cast<numpy::npy_intp>(c) * col_step;
    }
};

// What a missing StringDType cell is when read cell by cell: its na_object.
struct MissingCell {
    enum class Kind : std::uint8_t { kNone, kNaN, kText } kind = Kind::kNone;  // kNone: no na_object
    double value = 0.0;  // kNaN: the float itself
    std::string text;    // kText: str() of the na_object
};

// The StringDType allocator, held while the strings are read.
class HeldAllocator {
public:
    explicit HeldAllocator(numpy::Descr* descr)
        : allocator_(numpy::array_api().string_acquire_allocator(descr)) {}
    ~HeldAllocator() {
        if (allocator_ != nullptr) numpy::array_api().string_release_allocator(allocator_);
    }
    HeldAllocator(const HeldAllocator&) = delete;
    HeldAllocator& operator=(const HeldAllocator&) = delete;
    numpy::StringAllocator* get() const noexcept { return allocator_; }

private:
    numpy::StringAllocator* allocator_ = nullptr;
};

// How one column reads: rows before first_text hold numbers (their texts
// are number_text of them, should the column hold texts); the rest texts.
struct ColumnPlan {
    bool is_string = false;
    std::size_t first_text = 0;
    std::vector<double> numbers;
    std::vector<std::string> number_texts;
};

bool is_exact_array_or_memmap(PyObject* obj) {
    if (numpy::array_api().is_exact_array(obj)) return true;
    PyObject* numpy_module = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    if (numpy_module == nullptr) return false;
    PyRef memmap = PyRef::steal(PyObject_GetAttrString(numpy_module, "memmap"));
    if (!memmap) {
        drop_error();  // a NumPy without memmap holds none to read here
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == memmap.get();
}

// The na_object of a StringDType, as reading cell by cell reads it; false for one
// whose reading this file does not repeat.
Result<bool> missing_cell_of(numpy::Descr* descr, MissingCell& missing) {
    PyRef na = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(descr), "na_object"));
    if (!na) {
        QUORIX_CHECK(drop_error_if(PyExc_AttributeError));
        return true;  // none: no cell is missing
    }
    PyObject* object = na.get();
    if (object == Py_None && NoneIsMissing::active()) {
        missing.kind = MissingCell::Kind::kNaN;
        missing.value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (object == Py_None) {
        missing.kind = MissingCell::Kind::kText;
        missing.text = "None";
        return true;
    }
    if (PyFloat_CheckExact(object) && PyFloat_AS_DOUBLE(object) != PyFloat_AS_DOUBLE(object)) {
        missing.kind = MissingCell::Kind::kNaN;
        missing.value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (PyUnicode_CheckExact(object)) {
        std::string_view text;
        if (!exact_str_text(object, text)) return false;
        missing.kind = MissingCell::Kind::kText;
        missing.text = text;
        return true;
    }
    // pandas' NA, whose str() is "<NA>" and which converts to no float.
    QUORIX_TRY(PyRef na_of_pandas, pandas_na());
    if (na_of_pandas && object == na_of_pandas.get()) {
        missing.kind = MissingCell::Kind::kText;
        missing.text = "<NA>";
        return true;
    }
    return false;
}

// The numbers a column starts with: the missing cells before the first
// string of a StringDType column whose na_object is NaN. A numpy.str_ or
// numpy.bytes_ cell never converts to a float when read cell by cell (its type
// has no float slot of its own: only float() parses it), nor does a str.
void plan_column(const TextArray& array, std::size_t c, const MissingCell& missing,
                 numpy::StringAllocator* allocator, ColumnPlan& plan) {
    std::size_t r = 0;
    if (array.kind == TextKind::kStrings && missing.kind == MissingCell::Kind::kNaN) {
        for (; r < array.rows; ++r) {
            numpy::StaticString unpacked{};
            if (array.load(allocator, array.cell(r, c), &unpacked) != 1) break;
            plan.numbers.push_back(missing.value);
        }
    }
    plan.first_text = r;
    plan.is_string = r < array.rows;
    if (plan.is_string) {
        plan.number_texts.reserve(r);
        for (const double value : plan.numbers) plan.number_texts.push_back(number_text(value));
    }
}

// Rows per block, so that a block's texts fit a scratch of about 1 MiB.
constexpr std::size_t kBlockRows = 4096;
constexpr std::size_t kScratchBytes = std::size_t{1} << 20;

// The texts of one column, block by block: the numbers' texts first, then
// each cell's text, made in the block's scratch or viewed where it lies.
class ColumnTexts final : public TextBlocks {
public:
    ColumnTexts(const TextArray& array, std::size_t c, const ColumnPlan& plan, const MissingCell& missing,
                numpy::StringAllocator* allocator)
        : array_(array), column_(c), plan_(plan), missing_(missing), allocator_(allocator) {
        switch (array.kind) {
            case TextKind::kUnicode: cell_bytes_ = array.itemsize / 4 * kUtf8PerUnit; break;
            case TextKind::kBytes: cell_bytes_ = bytes_repr_capacity(array.itemsize); break;
            case TextKind::kStrings: cell_bytes_ = 0; break;
        }
        block_rows_ = std::clamp<std::size_t>(kScratchBytes / std::max<std::size_t>(cell_bytes_, 1), 1, kBlockRows);
        if (cell_bytes_ != 0) scratch_ = std::make_unique_for_overwrite<char[]>(block_rows_ * cell_bytes_);
    }

    std::size_t block_rows() const noexcept override { return block_rows_; }

    bool read(std::size_t begin, std::size_t end, std::string_view* texts) override {
        char* at = scratch_.get();
        for (std::size_t r = begin; r < end; ++r) {
            std::string_view& text = texts[r - begin];
            if (r < plan_.first_text) {
                text = plan_.number_texts[r];
                continue;
            }
            const char* cell = array_.cell(r, column_);
            std::size_t written = 0;
            switch (array_.kind) {
                case TextKind::kUnicode:
                    written = ucs4_to_utf8(cell, ucs4_length(cell, array_.itemsize / 4), array_.swapped, at);
                    if (written == kNotText) return false;
                    break;
                case TextKind::kBytes: written = bytes_repr({cell, bytes_length(cell, array_.itemsize)}, at); break;
                case TextKind::kStrings:
                    if (!string_text(cell, text)) return false;
                    continue;
            }
            text = std::string_view(at, written);
            at += written;
        }
        return true;
    }

private:
    bool string_text(const char* cell, std::string_view& text) const noexcept {
        numpy::StaticString unpacked{};
        const int loaded = array_.load(allocator_, cell, &unpacked);
        if (loaded == 0) {
            text = unpacked.size == 0 ? std::string_view("") : std::string_view(unpacked.buf, unpacked.size);
            return is_utf8(text);
        }
        if (loaded != 1) return false;
        switch (missing_.kind) {
            case MissingCell::Kind::kText: text = missing_.text; return true;
            case MissingCell::Kind::kNaN: text = "nan"; return true;  // str() of the float
            case MissingCell::Kind::kNone: return false;
        }
        return false;
    }

    const TextArray& array_;
    std::size_t column_;
    const ColumnPlan& plan_;
    const MissingCell& missing_;
    numpy::StringAllocator* allocator_;
    std::size_t cell_bytes_ = 0;
    std::size_t block_rows_ = kBlockRows;
    std::unique_ptr<char[]> scratch_;
};

// The array's dtype as one of the three text kinds; false for any other.
Result<bool> text_array_of(PyObject* obj, TextArray& array) {
    const numpy::ArrayObject* object = numpy::as_array(obj);
    if (object->nd != 2) return false;
    const numpy::Descr* descr = object->descr;
    if (descr->type_num == numpy::kUnicode) {
        array.kind = TextKind::kUnicode;
    } else if (descr->type_num == numpy::kString) {
        array.kind = TextKind::kBytes;
    } else if (descr->type_num == numpy::kVString && numpy::array_api().string_load != nullptr) {
        array.kind = TextKind::kStrings;
    } else {
        return false;
    }
    // The dtype's layout past type_num differs between NumPy 1 and 2.
    QUORIX_TRY(PyRef itemsize, checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(object->descr), "itemsize")));
    const Py_ssize_t size = PyLong_AsSsize_t(itemsize.get());
    if (size < 0) {
        if (PyErr_Occurred()) return PyError::fetch();
        return false;
    }
    array.data = object->data;
    array.row_step = object->strides[0];
    array.col_step = object->strides[1];
    array.rows = static_cast<std::size_t>(object->dimensions[0]);
    array.cols = static_cast<std::size_t>(object->dimensions[1]);
    array.itemsize = static_cast<std::size_t>(size);
    array.swapped = array.kind == TextKind::kUnicode && descr->byteorder == '>';
    array.load = numpy::array_api().string_load;
    return true;
}

}  // namespace

Result<std::optional<EncodingInfo>> encode_numpy_text_array(PyObject* obj, Matrix& matrix) {
    using Declined = std::optional<EncodingInfo>;
    if (!is_exact_array_or_memmap(obj)) return Declined();
    TextArray array{};
    QUORIX_TRY(const bool is_text, text_array_of(obj, array));
    if (!is_text || matrix.rows() != array.rows || matrix.cols() != array.cols) return Declined();

    MissingCell missing;
    std::optional<HeldAllocator> held;
    if (array.kind == TextKind::kStrings) {
        numpy::Descr* descr = numpy::as_array(obj)->descr;
        QUORIX_TRY(const bool readable, missing_cell_of(descr, missing));
        if (!readable) return Declined();
        held.emplace(descr);
        if (held->get() == nullptr) return Declined();
    }
    numpy::StringAllocator* const allocator = held ? held->get() : nullptr;
    std::vector<ColumnPlan> plans(array.cols);
    for (std::size_t c = 0; c < array.cols; ++c) plan_column(array, c, missing, allocator, plans[c]);

    // Nothing below runs Python code: the buffer stays as it is.
    std::atomic<bool> declined{false};
    double* const cells = matrix.data();
    const std::size_t rows = array.rows, cols = array.cols;
    std::vector<ColumnMaps> collected = parallel_filter_map(cols, [&](std::size_t c) -> std::optional<ColumnMaps> {
        const ColumnPlan& plan = plans[c];
        if (!plan.is_string) {
            for (std::size_t r = 0; r < rows; ++r) cells[r * cols + c] = plan.numbers[r];
            return std::nullopt;
        }
        ColumnTexts texts(array, c, plan, missing, allocator);
        std::optional<TextToCode> map = label_encode_blocks(texts, rows, cells + c, cols);
        if (!map) {
            declined.store(true, std::memory_order_relaxed);
            return std::nullopt;
        }
        return ColumnMaps::inverting(c, std::move(*map));
    });
    if (declined.load(std::memory_order_relaxed)) {
        std::fill(cells, cells + rows * cols, 0.0);  // as it came, for reading cell by cell
        return Declined();
    }

    return std::optional<EncodingInfo>(encoding_info_of(std::move(collected)));
}

}  // namespace quorix
