// The Learned type's methods: transform, inverse_transform and what the
// Python package reads of the record.
#include <array>
#include <string>

#include "pipeline/native/fault_messages.hpp"
#include "pipeline/native/learned_object.hpp"
#include "pipeline/native/look_up_codes.hpp"
#include "pipeline/native/read_table.hpp"
#include "pipeline/native/runs_objects.hpp"
#include "pipeline/native/recode_tables.hpp"
#include "binding/arr_to_out.hpp"
#include "binding/pyany_to_vec.hpp"
#include "binding/arguments.hpp"
#include "binding/encoder_record.hpp"
#include "binding/boundary.hpp"

namespace quorix::pipeline {
namespace {

const Learned& learned_in(PyObject* self) { return reinterpret_cast<LearnedObject*>(self)->learned; }

}  // namespace

Result<PyRef> learned_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 4> parameters{
        {{"table", true}, {"unknown", true}, {"rows", false}, {"recode", false}}};
    std::array<PyObject*, 4> given{};
    QUORIX_CHECK(match_vectorcall("Learned.transform()", parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    QUORIX_TRY(const UnknownRule unknown, unknown_rule_of(given[1]));
    const Learned& learned = learned_in(self);
    // The lookup needs each cell's text: NumPy text arrays are read cell by cell.
    QUORIX_TRY(GatheredTable table, read_table(given[0], false));
    QUORIX_CHECK(check_learned_columns(learned, table.matrix.cols()));
    QUORIX_TRY(const RecodeTables recode,
               recode_tables_of(given[3] != nullptr ? given[3] : Py_None, learned, table.matrix.cols()));
    if (std::optional<LookupFault> fault = look_up_codes(learned, table, unknown, recode.by_column)) {
        return lookup_error(*fault, table.out.columns, given[2]);
    }
    return arr_to_out(table.matrix, std::move(table.out), nullptr);
}

namespace {

// Codes are numbers: a column that reads as text (beyond missing-value
// markers) was handed over undecoded, and would come back unchanged.
Status no_texts_among_codes(const Extraction& extraction) {
    if (!extraction.encoding_info) return Ok{};
    const EncodingInfo& read = *extraction.encoding_info;
    for (const ColumnIndex c : read.string_columns) {
        const auto found = read.code_to_text.find(c);
        if (found == read.code_to_text.end() || found->second.empty()) continue;
        QUORIX_TRY(std::string name, column_name(extraction.out.columns, c));
        QUORIX_TRY(std::string text, text_repr(found->second.at(0)));
        return PyError::pending(PyExc_TypeError, "inverse_transform expects codes, but " + name +
                                                     " holds the text " + text + "; pass what transform returned");
    }
    return Ok{};
}

}  // namespace

Result<PyRef> learned_inverse_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"codes", true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall("Learned.inverse_transform()", parameters, args, PyVectorcall_NARGS(nargsf),
                                  kwnames, given));
    QUORIX_TRY(Extraction extraction, read_codes(given[0]));
    QUORIX_CHECK(no_texts_among_codes(extraction));
    auto* object = reinterpret_cast<LearnedObject*>(self);
    return decode_with(std::move(extraction), object->learned.record.encoding_info, object->decoded);
}

Result<PyRef> learned_state(PyObject* self, PyObject*) { return state_bytes_object(learned_in(self).record); }

Result<PyRef> learned_numbers_read(PyObject* self, PyObject*) {
    const std::vector<std::uint8_t>& flags = learned_in(self).numbers_read;
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(flags.data()),
                                             static_cast<Py_ssize_t>(flags.size())));
}

Result<PyRef> learned_runs(PyObject* self, PyObject*) {
    const Learned& learned = learned_in(self);
    if (!rebuilt_by_runs(learned)) return PyRef::borrow(Py_None);
    return runs_object(runs_of(learned));
}

Result<PyRef> learned_string_columns(PyObject* self, PyObject*) {
    const std::optional<EncodingInfo>& info = learned_in(self).record.encoding_info;
    const std::size_t count = info ? info->string_columns.size() : 0;
    QUORIX_TRY(PyRef columns, checked(PyTuple_New(static_cast<Py_ssize_t>(count))));
    for (std::size_t i = 0; i < count; ++i) {
        QUORIX_TRY(PyRef column, checked(PyLong_FromSize_t(info->string_columns[i])));
        PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), column.release());
    }
    return columns;
}

namespace {

// The string column a method's one argument names.
Result<ColumnIndex> string_column(const char* full_name, const Learned& learned, PyObject* const* args,
                                  Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"column", true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    const std::size_t column = PyLong_AsSize_t(given[0]);
    if (column == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyError::fetch();
    if (learned.text_to_code(column) == nullptr) {
        return PyError::pending(PyExc_ValueError, "column " + std::to_string(column) + " was not learned as text");
    }
    return column;
}

}  // namespace

Result<PyRef> learned_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Learned& learned = learned_in(self);
    QUORIX_TRY(const ColumnIndex column, string_column("Learned.counts()", learned, args, nargsf, kwnames));
    if (!learned.counts) return PyRef::borrow(Py_None);
    const std::vector<std::int64_t>& counted = learned.counts->at(column);
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(counted.data()),
                                             static_cast<Py_ssize_t>(counted.size() * sizeof(std::int64_t))));
}

Result<PyRef> learned_categories(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Learned& learned = learned_in(self);
    QUORIX_TRY(const ColumnIndex column, string_column("Learned.categories()", learned, args, nargsf, kwnames));
    const TextToCode* map = learned.text_to_code(column);
    std::vector<std::pair<Code, std::string_view>> coded;
    coded.reserve(map->size());
    for (std::size_t i = 0; i < map->size(); ++i) {
        if (const std::optional<Code> code = map->code(i)) coded.emplace_back(*code, map->text(i));
    }
    if (!map->codes_follow_entries()) std::stable_sort(coded.begin(), coded.end(), [](const auto& a, const auto& b) {
        return a.first < b.first;
    });
    QUORIX_TRY(PyRef texts, checked(PyList_New(static_cast<Py_ssize_t>(coded.size()))));
    for (std::size_t i = 0; i < coded.size(); ++i) {
        const std::string_view text = coded[i].second;
        QUORIX_TRY(PyRef str,
                   checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
        PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), str.release());
    }
    return texts;
}

}  // namespace quorix::pipeline
