// The column roads of a DataFrame. What `values` would hold for a column
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
// Only columns whose cells run no code come here, so nothing can change the
// frame while it is read.
#include "python/frame_columns.hpp"

#include <charconv>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "python/gather_cells.hpp"
#include "python/number_text.hpp"
#include "python/object_text.hpp"
#include "runtime/numpy_api.hpp"

namespace quorix {
namespace {

using Type = NumberSource::Type;

// A module the interpreter has already imported, or null (borrowed).
PyObject* imported_module(const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_GetItemString(modules, name);  // borrowed, sets no error
}

// An attribute whose absence is not an error: null then.
PyRef optional_attribute(PyObject* obj, const char* name) {
    if (obj == nullptr) return PyRef();
    PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!value) PyErr_Clear();
    return value;
}

// The pandas classes and objects that choose a road.
struct PandasNames {
    PyRef frame, na, categorical, string_array, arrow_string_array, arrow_string_numpy, integer_array,
        floating_array, boolean_array, string_dtype;

    static PandasNames find() {
        PandasNames names;
        PyObject* pandas = imported_module("pandas");
        if (pandas == nullptr) return names;
        names.frame = optional_attribute(pandas, "DataFrame");
        names.na = optional_attribute(pandas, "NA");
        names.categorical = optional_attribute(pandas, "Categorical");
        names.string_dtype = optional_attribute(pandas, "StringDtype");
        PyRef arrays = optional_attribute(pandas, "arrays");
        names.string_array = optional_attribute(arrays.get(), "StringArray");
        names.arrow_string_array = optional_attribute(arrays.get(), "ArrowStringArray");
        names.integer_array = optional_attribute(arrays.get(), "IntegerArray");
        names.floating_array = optional_attribute(arrays.get(), "FloatingArray");
        names.boolean_array = optional_attribute(arrays.get(), "BooleanArray");
        names.arrow_string_numpy =
            optional_attribute(imported_module("pandas.core.arrays.string_arrow"), "ArrowStringArrayNumpySemantics");
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

class ColumnReader {
public:
    ColumnReader(const PandasNames& names, GatheredColumns& gathered, FrameStorage& storage)
        : names_(names), gathered_(gathered), storage_(storage), rows_(gathered.rows) {}

    // True when read; false for a column with no road here.
    Result<bool> read(PyObject* array, std::size_t c) {
        GatheredColumn& column = gathered_.columns[c];
        if (const numpy::ArrayObject* vector = plain_vector(array, rows_)) {
            return read_numpy(array, vector, column);
        }
        if (is_type(array, names_.string_array)) return read_object_strings(array, column);
        if (is_type(array, names_.arrow_string_array) || is_type(array, names_.arrow_string_numpy)) {
            return read_arrow_strings(array, column);
        }
        if (is_type(array, names_.integer_array) || is_type(array, names_.floating_array) ||
            is_type(array, names_.boolean_array)) {
            return read_masked(array, column);
        }
        if (is_type(array, names_.categorical)) return read_categorical(array, column);
        return false;
    }

private:
    void keep(PyRef object) { storage_.objects.push_back(std::move(object)); }

    bool read_numpy(PyObject* array, const numpy::ArrayObject* vector, GatheredColumn& column) {
        if (vector->descr->type_num == numpy::kObject) {
            if (!gather_inert_object_column(vector->data, vector->strides[0], rows_, names_.na.get(), column)) {
                return false;
            }
        } else {
            const NumberSource source = source_of(vector);
            if (!source) return false;
            column.number_source = source;
        }
        keep(PyRef::borrow(array));
        return true;
    }

    // Python storage: str objects and the dtype's na_value.
    bool read_object_strings(PyObject* array, GatheredColumn& column) {
        PyRef objects = optional_attribute(array, "_ndarray");
        const numpy::ArrayObject* vector = plain_vector(objects.get(), rows_);
        if (vector == nullptr || vector->descr->type_num != numpy::kObject) return false;
        if (!gather_inert_object_column(vector->data, vector->strides[0], rows_, names_.na.get(), column)) {
            return false;
        }
        keep(std::move(objects));
        return true;
    }

    Result<bool> read_arrow_strings(PyObject* array, GatheredColumn& column) {
        PyRef dtype = optional_attribute(array, "dtype");
        PyRef na_value = optional_attribute(dtype.get(), "na_value");
        const Missing missing = missing_kind(na_value.get(), names_);
        PyRef chunked = optional_attribute(array, "_pa_array");
        if (missing == Missing::kOther || !chunked) return false;
        auto chunks = std::make_unique<ArrowTextChunks>();
        QUORIX_TRY(const bool readable, read_arrow_text_stream(chunked.get(), *chunks));
        if (!readable) return false;
        if (chunks->rows != rows_) {
            return PyError::pending(PyExc_ValueError, "Arrow column of " + std::to_string(chunks->rows) +
                                                          " rows in a frame of " + std::to_string(rows_));
        }
        if (rows_ > 0) {
            std::size_t first_valid = 0;
            for (const arrow::TextArray& chunk : chunks->arrays) {
                std::size_t r = 0;
                while (r < chunk.size() && chunk.is_null(r)) ++r;
                first_valid += r;
                if (r < chunk.size()) break;
            }
            std::string_view before, after;
            set_missing_texts(column, missing, rows_, first_valid, before, after);
            if (column.is_string) column.texts.assign_arrow(chunks->arrays, before, after, first_valid);
        }
        storage_.arrow.push_back(std::move(chunks));
        keep(std::move(chunked));
        return true;
    }

    // Values and mask. Cells show as Python numbers and pandas' NA, so a
    // column with a missing cell turns to texts there: numbers before it
    // take their promoted form, cells from it on their str().
    bool read_masked(PyObject* array, GatheredColumn& column) {
        PyRef data = optional_attribute(array, "_data");
        PyRef mask = optional_attribute(array, "_mask");
        const numpy::ArrayObject* values = plain_vector(data.get(), rows_);
        const numpy::ArrayObject* missing = plain_vector(mask.get(), rows_);
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
        } else {
            column.is_string = true;
            TextColumn& texts = column.texts;
            texts.reserve(rows_, 0);
            for (std::size_t r = 0; r < first_missing; ++r) texts.push_back(number_text(source[r]));
            std::string scratch;
            char digits[24];
            for (std::size_t r = first_missing; r < rows_; ++r) {
                const auto at = static_cast<Py_ssize_t>(r);
                if (flags[at * flag_step] != 0) {
                    texts.push_view("<NA>");
                    continue;
                }
                const char* cell = source.data + at * source.stride;
                switch (source.type) {
                    case Type::kBool: texts.push_view(*cell != 0 ? "True" : "False"); break;
                    case Type::kFloat32:
                    case Type::kFloat64:
                        if (!float_text(source[r], scratch)) return false;
                        texts.push_back(scratch);
                        break;
                    case Type::kUInt64: {
                        std::uint64_t value;
                        std::memcpy(&value, cell, sizeof value);
                        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
                        texts.push_back(std::string_view(digits, static_cast<std::size_t>(end - digits)));
                        break;
                    }
                    default: {
                        // Narrower integers convert to double exactly; 64-bit ones are read as they are.
                        auto exact = static_cast<std::int64_t>(source[r]);
                        if (source.type == Type::kInt64) std::memcpy(&exact, cell, sizeof exact);
                        const auto end = std::to_chars(digits, digits + sizeof digits, exact).ptr;
                        texts.push_back(std::string_view(digits, static_cast<std::size_t>(end - digits)));
                        break;
                    }
                }
            }
        }
        keep(std::move(data));
        keep(std::move(mask));
        return true;
    }

    // Categories that are all str, read once; each row is its code.
    Result<bool> read_categorical(PyObject* array, GatheredColumn& column) {
        PyRef codes = optional_attribute(array, "codes");
        const numpy::ArrayObject* code_vector = plain_vector(codes.get(), rows_);
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
        PyRef categories = optional_attribute(array, "categories");
        PyRef categories_dtype = optional_attribute(categories.get(), "dtype");
        if (!categories_dtype) return false;
        Missing missing = Missing::kOther;
        if (is_type(categories_dtype.get(), names_.string_dtype)) {
            PyRef na_value = optional_attribute(categories_dtype.get(), "na_value");
            missing = missing_kind(na_value.get(), names_);
        } else if (is_object_descr(categories_dtype.get())) {
            missing = Missing::kNaN;
        }
        if (missing == Missing::kOther) return false;

        std::vector<std::string_view> texts;
        QUORIX_TRY(const bool readable, category_texts(categories.get(), column, texts));
        if (!readable) return false;
        const std::size_t count = texts.size();
        std::size_t first_valid = rows_;
        for (std::size_t r = 0; r < rows_; ++r) {
            std::int64_t code = 0;
            const char* at = code_vector->data + static_cast<Py_ssize_t>(r) * code_vector->strides[0];
            switch (code_bytes) {
                case 1: code = *reinterpret_cast<const std::int8_t*>(at); break;
                case 2: { std::int16_t v; std::memcpy(&v, at, 2); code = v; break; }
                case 4: { std::int32_t v; std::memcpy(&v, at, 4); code = v; break; }
                default: std::memcpy(&code, at, 8); break;
            }
            if (code < -1 || code >= static_cast<std::int64_t>(count)) {
                return PyError::pending(PyExc_ValueError, "category code " + std::to_string(code) + " at row " +
                                                              std::to_string(r) + " out of range for " +
                                                              std::to_string(count) + " categories");
            }
            if (code >= 0 && first_valid == rows_) first_valid = r;
        }
        if (rows_ > 0) {
            std::string_view before, after;
            set_missing_texts(column, missing, rows_, first_valid, before, after);
            if (column.is_string) {
                column.texts.assign_dictionary(code_vector->data, code_vector->strides[0], code_bytes, rows_,
                                               std::move(texts), before, after, first_valid);
            }
        }
        keep(std::move(codes));
        return true;
    }

    // The texts of categories that are all str: views into their Arrow data
    // when they are stored so, else into their str objects.
    Result<bool> category_texts(PyObject* categories, GatheredColumn& column, std::vector<std::string_view>& texts) {
        PyRef values = optional_attribute(categories, "_values");
        if (values && (is_type(values.get(), names_.arrow_string_array) ||
                       is_type(values.get(), names_.arrow_string_numpy))) {
            PyRef chunked = optional_attribute(values.get(), "_pa_array");
            if (!chunked) return false;
            auto chunks = std::make_unique<ArrowTextChunks>();
            QUORIX_TRY(const bool readable, read_arrow_text_stream(chunked.get(), *chunks));
            if (!readable) return false;
            texts.reserve(chunks->rows);
            for (const arrow::TextArray& chunk : chunks->arrays) {
                if (chunk.null_count() != 0) return false;
                for (std::size_t k = 0; k < chunk.size(); ++k) texts.push_back(chunk.text(k));
            }
            storage_.arrow.push_back(std::move(chunks));
            keep(std::move(chunked));
            return true;
        }
        PyRef to_numpy = optional_attribute(categories, "to_numpy");
        if (!to_numpy) return false;
        PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "dtype", "object"));
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!kwargs || !empty) return PyError::fetch();
        PyRef objects = PyRef::steal(PyObject_Call(to_numpy.get(), empty.get(), kwargs.get()));
        if (!objects) {
            PyErr_Clear();
            return false;
        }
        if (!numpy::array_api().is_exact_array(objects.get())) return false;
        const numpy::ArrayObject* category_vector = numpy::as_array(objects.get());
        if (category_vector->nd != 1 || category_vector->descr->type_num != numpy::kObject) return false;
        const auto count = static_cast<std::size_t>(category_vector->dimensions[0]);
        texts.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            PyObject* category;
            std::memcpy(&category, category_vector->data + static_cast<Py_ssize_t>(k) * category_vector->strides[0],
                        sizeof category);
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
        keep(std::move(objects));
        return true;
    }

    // A NumPy dtype of objects.
    static bool is_object_descr(PyObject* dtype) {
        PyRef descr_type = optional_attribute(imported_module("numpy"), "dtype");
        if (!descr_type || !PyType_Check(descr_type.get()) ||
            !PyObject_TypeCheck(dtype, reinterpret_cast<PyTypeObject*>(descr_type.get()))) {
            return false;
        }
        return reinterpret_cast<const numpy::Descr*>(dtype)->type_num == numpy::kObject;
    }

    const PandasNames& names_;
    GatheredColumns& gathered_;
    FrameStorage& storage_;
    std::size_t rows_;
};

}  // namespace

bool is_exact_pandas_frame(PyObject* obj) {
    PyObject* pandas = imported_module("pandas");
    if (pandas == nullptr) return false;
    PyRef frame = optional_attribute(pandas, "DataFrame");
    return frame && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == frame.get();
}

Result<bool> gather_frame_columns(PyObject* frame, GatheredColumns& gathered, FrameStorage& storage) {
    const PandasNames names = PandasNames::find();
    PyRef column_array = optional_attribute(frame, "_get_column_array");
    if (!column_array) return false;
    ColumnReader reader(names, gathered, storage);
    for (std::size_t c = 0; c < gathered.cols; ++c) {
        PyRef array = PyRef::steal(PyObject_CallFunction(column_array.get(), "n", static_cast<Py_ssize_t>(c)));
        bool read = false;
        if (array) {
            QUORIX_TRY(read, reader.read(array.get(), c));
        } else {
            PyErr_Clear();
        }
        if (!read) {
            for (GatheredColumn& column : gathered.columns) column = GatheredColumn{};
            storage = FrameStorage{};
            return false;
        }
    }
    return true;
}

}  // namespace quorix
