// The column readers of a DataFrame. What `values` would hold for a column
// depends on the column alone, with one exception, and so does what reading
// those cells gives:
//   - NumPy numbers and bools convert to the same doubles whatever array
//     `values` puts them in (float64, or objects when dtypes mix);
//   - object columns hold the same objects there;
//   - pandas strings show their texts and, for a missing cell, the dtype's
//     na_value (NaN, read as a number until the column turns to texts, then
//     "nan"; or pandas' NA, "<NA>");
//   - categoricals show each row's category, and NaN or NA when missing;
//   - masked numbers show Python ints, floats and bools and pandas' NA,
//     except in a frame of that one column, where an integer or float
//     column with missing cells becomes float64 with NaN.
// Only columns whose cells run no code come here. The frame is read in two
// passes: every pandas call first, then every buffer, so that nothing can
// change what was read before the engine is done with it.
#include "binding/frame_columns.hpp"

#include <charconv>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "binding/gather_cells.hpp"
#include "engine/number_text.hpp"
#include "binding/object_text.hpp"
#include "binding/numpy_api.hpp"
#include "engine/unaligned.hpp"

namespace quorix {
namespace {

using Type = NumberSource::Type;

// A module the interpreter has already imported, or null (borrowed).
PyObject* imported_module(const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_GetItemString(modules, name);  // borrowed, sets no error
}

// An attribute whose absence is not an error: null then.
Result<PyRef> optional_attribute(PyObject* obj, const char* name) {
    if (obj == nullptr) return PyRef();
    PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!value) QUORIX_CHECK(drop_error_if(PyExc_AttributeError));
    return value;
}

// The pandas classes and objects that choose a reader.
struct PandasNames {
    PyRef frame, na, categorical, string_array, arrow_string_array, arrow_string_numpy, integer_array,
        floating_array, boolean_array, string_dtype;

    static Result<PandasNames> find() {
        PandasNames names;
        PyObject* pandas = imported_module("pandas");
        if (pandas == nullptr) return names;
        QUORIX_TRY(names.frame, optional_attribute(pandas, "DataFrame"));
        QUORIX_TRY(names.na, optional_attribute(pandas, "NA"));
        QUORIX_TRY(names.categorical, optional_attribute(pandas, "Categorical"));
        QUORIX_TRY(names.string_dtype, optional_attribute(pandas, "StringDtype"));
        QUORIX_TRY(PyRef arrays, optional_attribute(pandas, "arrays"));
        QUORIX_TRY(names.string_array, optional_attribute(arrays.get(), "StringArray"));
        QUORIX_TRY(names.arrow_string_array, optional_attribute(arrays.get(), "ArrowStringArray"));
        QUORIX_TRY(names.integer_array, optional_attribute(arrays.get(), "IntegerArray"));
        QUORIX_TRY(names.floating_array, optional_attribute(arrays.get(), "FloatingArray"));
        QUORIX_TRY(names.boolean_array, optional_attribute(arrays.get(), "BooleanArray"));
        QUORIX_TRY(names.arrow_string_numpy, optional_attribute(imported_module("pandas.core.arrays.string_arrow"),
                                                                "ArrowStringArrayNumpySemantics"));
        return names;
    }
};

bool is_type(PyObject* obj, const PyRef& type) {
    return type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type.get();
}

Type number_type(int type_num) {
    switch (type_num) {
        case numpy::kBool: return Type::kBool;
        case numpy::kByte: return Type::kInt8;
        case numpy::kUByte: return Type::kUInt8;
        case numpy::kShort: return Type::kInt16;
        case numpy::kUShort: return Type::kUInt16;
        case numpy::kInt: return Type::kInt32;
        case numpy::kUInt: return Type::kUInt32;
        case numpy::kLong:
        case numpy::kLongLong: return Type::kInt64;
        case numpy::kULong:
        case numpy::kULongLong: return Type::kUInt64;
        case numpy::kFloat: return Type::kFloat32;
        case numpy::kDouble: return Type::kFloat64;
        default: return Type::kNone;
    }
}

// An exact one-dimensional ndarray of `rows` elements in native byte order.
const numpy::ArrayObject* plain_vector(PyObject* obj, std::size_t rows) {
    if (obj == nullptr || !numpy::array_api().is_exact_array(obj)) return nullptr;
    const numpy::ArrayObject* array = numpy::as_array(obj);
    if (array->nd != 1 || static_cast<std::size_t>(array->dimensions[0]) != rows) return nullptr;
    if (array->descr->byteorder == '>') return nullptr;
    return array;
}

NumberSource source_of(const numpy::ArrayObject* array) {
    NumberSource source;
    source.type = number_type(array->descr->type_num);
    source.data = array->data;
    source.stride = array->strides[0];
    return source;
}

// How a missing cell of a text column shows in `values`.
enum class Missing { kNaN, kNA, kOther };

Missing missing_kind(PyObject* na_value, const PandasNames& names) {
    if (na_value == nullptr) return Missing::kOther;
    if (PyFloat_CheckExact(na_value) && Py_IS_NAN(PyFloat_AS_DOUBLE(na_value))) return Missing::kNaN;
    if (names.na && na_value == names.na.get()) return Missing::kNA;
    return Missing::kOther;
}

// A text column whose null rows read as the missing cell. NaN cells before
// the first text are numbers until the column turns to texts ("NaN"), and
// "nan" after it; a column of NaN alone stays numeric.
void set_missing_texts(GatheredColumn& column, Missing missing, std::size_t rows, std::size_t first_valid,
                       std::string_view& before, std::string_view& after) {
    column.is_string = true;
    if (missing == Missing::kNA) {
        before = after = "<NA>";
    } else {
        before = "NaN";
        after = "nan";
    }
    if (missing == Missing::kNaN && first_valid == rows) {
        column.is_string = false;
        column.number_source.type = Type::kNaN;
    }
}

// What a column's reader reads, taken through pandas before any buffer is
// read. Every object is held by the frame's storage; nothing here is read
// yet beyond its type.
struct ColumnSource {
    enum class Reader : std::uint8_t { kNumpy, kObjectStrings, kArrowStrings, kMasked, kCategorical };
    Reader reader = Reader::kNumpy;
    PyObject* values = nullptr;      // the vector, `_ndarray`, `_data` or the codes
    PyObject* mask = nullptr;        // `_mask` of masked numbers
    PyObject* categories = nullptr;  // str categories as an object array
    Missing missing = Missing::kOther;
    const ArrowTextChunks* chunks = nullptr;  // Arrow strings, or Arrow categories
};

// The first pass: every call into pandas for every column. Python code runs
// here (pandas' own, and whatever a user hooked into it), and may change
// any column read so far, so nothing is read from a buffer yet: only the
// objects are taken, each held until the engine is done.
class SourceTaker {
public:
    SourceTaker(const PandasNames& names, FrameStorage& storage, std::size_t rows)
        : names_(names), storage_(storage), rows_(rows) {}

    // The column's source, or nothing for a column with no reader here.
    Result<std::optional<ColumnSource>> take(PyObject* array) {
        if (numpy::array_api().is_exact_array(array)) return found(source(ColumnSource::Reader::kNumpy, held(array)));
        if (is_type(array, names_.string_array)) {
            QUORIX_TRY(PyRef ndarray, optional_attribute(array, "_ndarray"));
            PyObject* objects = held(std::move(ndarray));
            if (objects == nullptr) return no_reader();
            return found(source(ColumnSource::Reader::kObjectStrings, objects));
        }
        if (is_type(array, names_.arrow_string_array) || is_type(array, names_.arrow_string_numpy)) {
            return take_arrow_strings(array);
        }
        if (is_type(array, names_.integer_array) || is_type(array, names_.floating_array) ||
            is_type(array, names_.boolean_array)) {
            QUORIX_TRY(PyRef data, optional_attribute(array, "_data"));
            QUORIX_TRY(PyRef mask, optional_attribute(array, "_mask"));
            ColumnSource taken = source(ColumnSource::Reader::kMasked, held(std::move(data)));
            taken.mask = held(std::move(mask));
            if (taken.values == nullptr || taken.mask == nullptr) return no_reader();
            return found(std::move(taken));
        }
        if (is_type(array, names_.categorical)) return take_categorical(array);
        return no_reader();
    }

private:
    using Taken = Result<std::optional<ColumnSource>>;
    static Taken no_reader() { return std::optional<ColumnSource>(); }
    static Taken found(ColumnSource taken) { return std::optional<ColumnSource>(std::move(taken)); }

    static ColumnSource source(ColumnSource::Reader reader, PyObject* values) {
        ColumnSource taken;
        taken.reader = reader;
        taken.values = values;
        return taken;
    }

    // Held by the storage from now on; null stays null.
    PyObject* held(PyObject* borrowed) { return held(PyRef::borrow(borrowed)); }
    PyObject* held(PyRef object) {
        if (!object) return nullptr;
        storage_.objects.push_back(std::move(object));
        return storage_.objects.back().get();
    }

    // The exporter's chunks, exported and kept: Arrow data does not change
    // once exported, so its buffers may be read at any time after.
    Result<const ArrowTextChunks*> exported_chunks(PyObject* exporter) {
        auto chunks = std::make_unique<ArrowTextChunks>();
        QUORIX_TRY(const bool readable, read_arrow_text_stream(exporter, *chunks));
        if (!readable) return static_cast<const ArrowTextChunks*>(nullptr);
        storage_.arrow.push_back(std::move(chunks));
        return static_cast<const ArrowTextChunks*>(storage_.arrow.back().get());
    }

    Result<std::optional<ColumnSource>> take_arrow_strings(PyObject* array) {
        QUORIX_TRY(PyRef dtype, optional_attribute(array, "dtype"));
        QUORIX_TRY(PyRef na_value, optional_attribute(dtype.get(), "na_value"));
        const Missing missing = missing_kind(na_value.get(), names_);
        QUORIX_TRY(PyRef pa_array, optional_attribute(array, "_pa_array"));
        PyObject* chunked = held(std::move(pa_array));
        if (missing == Missing::kOther || chunked == nullptr) return no_reader();
        QUORIX_TRY(const ArrowTextChunks* chunks, exported_chunks(chunked));
        if (chunks == nullptr) return no_reader();
        if (chunks->rows != rows_) {
            return PyError::pending(PyExc_ValueError, "Arrow column of " + std::to_string(chunks->rows) +
                                                          " rows in a frame of " + std::to_string(rows_));
        }
        ColumnSource taken = source(ColumnSource::Reader::kArrowStrings, chunked);
        taken.missing = missing;
        taken.chunks = chunks;
        return found(std::move(taken));
    }

    // The codes, and the categories when they are all str: their Arrow data
    // when they are stored so, else an object array of them.
    Result<std::optional<ColumnSource>> take_categorical(PyObject* array) {
        QUORIX_TRY(PyRef codes, optional_attribute(array, "codes"));
        ColumnSource taken = source(ColumnSource::Reader::kCategorical, held(std::move(codes)));
        if (taken.values == nullptr) return no_reader();
        QUORIX_TRY(PyRef categories, optional_attribute(array, "categories"));
        QUORIX_TRY(PyRef categories_dtype, optional_attribute(categories.get(), "dtype"));
        if (!categories_dtype) return no_reader();
        if (is_type(categories_dtype.get(), names_.string_dtype)) {
            QUORIX_TRY(PyRef na_value, optional_attribute(categories_dtype.get(), "na_value"));
            taken.missing = missing_kind(na_value.get(), names_);
        } else {
            QUORIX_TRY(const bool objects, is_object_descr(categories_dtype.get()));
            if (objects) taken.missing = Missing::kNaN;
        }
        if (taken.missing == Missing::kOther) return no_reader();

        QUORIX_TRY(PyRef values, optional_attribute(categories.get(), "_values"));
        if (values && (is_type(values.get(), names_.arrow_string_array) ||
                       is_type(values.get(), names_.arrow_string_numpy))) {
            QUORIX_TRY(PyRef pa_array, optional_attribute(values.get(), "_pa_array"));
            PyObject* chunked = held(std::move(pa_array));
            if (chunked == nullptr) return no_reader();
            QUORIX_TRY(taken.chunks, exported_chunks(chunked));
            if (taken.chunks == nullptr) return no_reader();
            return found(std::move(taken));
        }
        QUORIX_TRY(PyRef to_numpy, optional_attribute(categories.get(), "to_numpy"));
        if (!to_numpy) return no_reader();
        QUORIX_TRY(PyRef kwargs, checked(Py_BuildValue("{s:s}", "dtype", "object")));
        QUORIX_TRY(PyRef empty, checked(PyTuple_New(0)));
        PyRef objects = PyRef::steal(PyObject_Call(to_numpy.get(), empty.get(), kwargs.get()));
        if (!objects) {
            // Categories that make no object array: reading `values` says what they give.
            QUORIX_CHECK(drop_error_if(PyExc_Exception));
            return no_reader();
        }
        taken.categories = held(std::move(objects));
        return found(std::move(taken));
    }

    // A NumPy dtype of objects.
    static Result<bool> is_object_descr(PyObject* dtype) {
        QUORIX_TRY(PyRef descr_type, optional_attribute(imported_module("numpy"), "dtype"));
        if (!descr_type || !PyType_Check(descr_type.get()) ||
            !PyObject_TypeCheck(dtype, reinterpret_cast<PyTypeObject*>(descr_type.get()))) {
            return false;
        }
        return reinterpret_cast<const numpy::Descr*>(dtype)->type_num == numpy::kObject;
    }

    const PandasNames& names_;
    FrameStorage& storage_;
    std::size_t rows_;
};

// The second pass: every buffer, with no Python code run from its first read
// until the engine is done with what it read (no call into pandas, no
// __str__, nothing that lets another thread in), so the views it takes of
// str objects, object arrays and Arrow data stay valid. Shapes, dtypes and
// strides are looked at here, not in the first pass, for the same reason.
class ColumnReader {
public:
    ColumnReader(const PandasNames& names, GatheredColumns& gathered)
        : names_(names), gathered_(gathered), rows_(gathered.rows) {}

    // True when read; false for a column with no reader here.
    Result<bool> read(const ColumnSource& source, std::size_t c) {
        GatheredColumn& column = gathered_.columns[c];
        switch (source.reader) {
            case ColumnSource::Reader::kNumpy: return read_numpy(source.values, column);
            case ColumnSource::Reader::kObjectStrings: return read_object_strings(source.values, column);
            case ColumnSource::Reader::kArrowStrings: return read_arrow_strings(source, column);
            case ColumnSource::Reader::kMasked: return read_masked(source, column);
            case ColumnSource::Reader::kCategorical: return read_categorical(source, column);
        }
        return false;
    }

private:
    bool read_numpy(PyObject* array, GatheredColumn& column) {
        const numpy::ArrayObject* vector = plain_vector(array, rows_);
        if (vector == nullptr) return false;
        if (vector->descr->type_num == numpy::kObject) {
            return gather_inert_object_column(vector->data, vector->strides[0], rows_, names_.na.get(), column);
        }
        const NumberSource source = source_of(vector);
        if (!source) return false;
        column.number_source = source;
        return true;
    }

    // Python storage: str objects and the dtype's na_value.
    bool read_object_strings(PyObject* objects, GatheredColumn& column) {
        const numpy::ArrayObject* vector = plain_vector(objects, rows_);
        if (vector == nullptr || vector->descr->type_num != numpy::kObject) return false;
        return gather_inert_object_column(vector->data, vector->strides[0], rows_, names_.na.get(), column);
    }

    bool read_arrow_strings(const ColumnSource& source, GatheredColumn& column) {
        if (rows_ == 0) return true;
        std::size_t first_valid = 0;
        for (const arrow::TextArray& chunk : source.chunks->arrays) {
            std::size_t r = 0;
            while (r < chunk.size() && chunk.is_null(r)) ++r;
            first_valid += r;
            if (r < chunk.size()) break;
        }
        std::string_view before, after;
        set_missing_texts(column, source.missing, rows_, first_valid, before, after);
        if (column.is_string) column.texts.assign_arrow(source.chunks->arrays, before, after, first_valid);
        return true;
    }

    // Values and mask. Cells show as Python numbers and pandas' NA, so a
    // column with a missing cell turns to texts there: numbers before it
    // take their promoted form, cells from it on their str().
    bool read_masked(const ColumnSource& masked, GatheredColumn& column) {
        const numpy::ArrayObject* values = plain_vector(masked.values, rows_);
        const numpy::ArrayObject* missing = plain_vector(masked.mask, rows_);
        if (values == nullptr || missing == nullptr || missing->descr->type_num != numpy::kBool) return false;
        NumberSource source = source_of(values);
        if (!source) return false;
        std::size_t first_missing = 0;
        const char* flags = missing->data;
        const Py_ssize_t flag_step = missing->strides[0];
        while (first_missing < rows_ && flags[static_cast<Py_ssize_t>(first_missing) * flag_step] == 0) {
            ++first_missing;
        }
        if (first_missing == rows_ || (gathered_.cols == 1 && source.type != Type::kBool)) {
            // No missing cell, or the one-column frame that shows them as NaN.
            source.missing = flags;
            source.missing_stride = flag_step;
            column.number_source = source;
            return true;
        }
        column.is_string = true;
        TextColumn& texts = column.texts;
        texts.reserve(rows_, 0);
        for (std::size_t r = 0; r < first_missing; ++r) texts.push_back(number_text(source[r]));
        column.promoted_numbers = first_missing > 0;
        NumberStr str;
        for (std::size_t r = first_missing; r < rows_; ++r) {
            const auto at = static_cast<Py_ssize_t>(r);
            if (flags[at * flag_step] != 0) {
                texts.push_view("<NA>");
                continue;
            }
            const std::string_view text = masked_cell_text(source, r, str);
            if (text.data() == nullptr) return false;
            texts.push_back(text);
        }
        return true;
    }

    // str() of the Python number a masked cell shows: a bool, a float, or an
    // int (64-bit ones read as they are, narrower ones exact as doubles).
    static std::string_view masked_cell_text(const NumberSource& source, std::size_t r, NumberStr& str) {
        const char* cell = source.data + static_cast<std::ptrdiff_t>(r) * source.stride;
        switch (source.type) {
            case Type::kBool: return NumberStr::of(*cell != 0);
            case Type::kFloat32:
            case Type::kFloat64: return str.of(source[r]);
            case Type::kUInt64: return str.of(load<std::uint64_t>(cell));
            case Type::kInt64: return str.of(load<std::int64_t>(cell));
            default: return str.of(static_cast<std::int64_t>(source[r]));
        }
    }

    // Categories that are all str, read once; each row is its code. The
    // codes are copied as they are checked: the array may be the caller's
    // own (Categorical.from_codes keeps it), writable by anyone holding it,
    // and a code is trusted only where it was checked.
    Result<bool> read_categorical(const ColumnSource& source, GatheredColumn& column) {
        const numpy::ArrayObject* code_vector = plain_vector(source.values, rows_);
        if (code_vector == nullptr) return false;
        std::size_t code_bytes = 0;
        switch (code_vector->descr->type_num) {
            case numpy::kByte: code_bytes = 1; break;
            case numpy::kShort: code_bytes = 2; break;
            case numpy::kInt: code_bytes = 4; break;
            case numpy::kLong:
            case numpy::kLongLong: code_bytes = 8; break;
            default: return false;
        }
        std::vector<std::string_view> texts;
        if (!category_texts(source, column, texts)) return false;
        const std::size_t count = texts.size();
        CategoryCodes codes(code_bytes, rows_);
        std::size_t first_valid = rows_;
        for (std::size_t r = 0; r < rows_; ++r) {
            const std::int64_t code =
                CategoryCodes::load(code_vector->data + static_cast<Py_ssize_t>(r) * code_vector->strides[0], code_bytes);
            if (code < -1 || code >= static_cast<std::int64_t>(count)) {
                return PyError::pending(PyExc_ValueError, "category code " + std::to_string(code) + " at row " +
                                                              std::to_string(r) + " out of range for " +
                                                              std::to_string(count) + " categories");
            }
            codes.set(r, code);
            if (code >= 0 && first_valid == rows_) first_valid = r;
        }
        if (rows_ > 0) {
            std::string_view before, after;
            set_missing_texts(column, source.missing, rows_, first_valid, before, after);
            if (column.is_string) {
                column.texts.assign_dictionary(std::move(codes), std::move(texts), before, after, first_valid);
            }
        }
        return true;
    }

    // The texts of categories that are all str: views into their Arrow data
    // or into their str objects.
    bool category_texts(const ColumnSource& source, GatheredColumn& column, std::vector<std::string_view>& texts) {
        if (source.chunks != nullptr) {
            texts.reserve(source.chunks->rows);
            for (const arrow::TextArray& chunk : source.chunks->arrays) {
                if (chunk.null_count() != 0) return false;
                for (std::size_t k = 0; k < chunk.size(); ++k) texts.push_back(chunk.text(k));
            }
            return true;
        }
        PyObject* objects = source.categories;
        if (!numpy::array_api().is_exact_array(objects)) return false;
        const numpy::ArrayObject* category_vector = numpy::as_array(objects);
        if (category_vector->nd != 1 || category_vector->descr->type_num != numpy::kObject) return false;
        const auto count = static_cast<std::size_t>(category_vector->dimensions[0]);
        texts.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            PyObject* category =
                load<PyObject*>(category_vector->data + static_cast<Py_ssize_t>(k) * category_vector->strides[0]);
            if (category == nullptr || !PyUnicode_CheckExact(category)) return false;
            std::string_view text;
            if (exact_str_text(category, text)) {
                texts.push_back(text);
            } else {
                TextColumn lossy;
                push_object_text(category, lossy);
                texts.push_back(column.texts.keep(lossy[0]));
            }
        }
        return true;
    }

    const PandasNames& names_;
    GatheredColumns& gathered_;
    std::size_t rows_;
};

}  // namespace

Result<bool> is_exact_pandas_frame(PyObject* obj) {
    PyObject* pandas = imported_module("pandas");
    if (pandas == nullptr) return false;
    QUORIX_TRY(PyRef frame, optional_attribute(pandas, "DataFrame"));
    return frame && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == frame.get();
}

Result<bool> gather_frame_columns(PyObject* frame, GatheredColumns& gathered, FrameStorage& storage) {
    auto give_up = [&] {
        for (GatheredColumn& column : gathered.columns) column = GatheredColumn{};
        storage = FrameStorage{};
        return false;
    };
    QUORIX_TRY(const PandasNames names, PandasNames::find());
    QUORIX_TRY(PyRef column_array, optional_attribute(frame, "_get_column_array"));
    if (!column_array) return false;
    std::vector<ColumnSource> sources;
    sources.reserve(gathered.cols);
    SourceTaker taker(names, storage, gathered.rows);
    for (std::size_t c = 0; c < gathered.cols; ++c) {
        PyRef array = PyRef::steal(PyObject_CallFunction(column_array.get(), "n", static_cast<Py_ssize_t>(c)));
        if (!array) {
            QUORIX_CHECK(drop_error_if(PyExc_Exception));
            return give_up();
        }
        QUORIX_TRY(std::optional<ColumnSource> source, taker.take(array.get()));
        if (!source) return give_up();
        sources.push_back(std::move(*source));
    }
    // From here on no Python code runs until the engine is done.
    ColumnReader reader(names, gathered);
    for (std::size_t c = 0; c < gathered.cols; ++c) {
        QUORIX_TRY(const bool read, reader.read(sources[c], c));
        if (!read) return give_up();
    }
    return true;
}

}  // namespace quorix
