// Learning and transforming Arrow tables, read where their buffers lie.
#include "pipeline/native/arrow_functions.hpp"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/native/fault_messages.hpp"
#include "pipeline/native/learn_arguments.hpp"
#include "pipeline/native/learned_object.hpp"
#include "pipeline/native/look_up_codes.hpp"
#include "pipeline/native/recode_tables.hpp"
#include "binding/arrow_table_stream.hpp"
#include "engine/encode_object_array.hpp"
#include "binding/pyany_to_vec.hpp"
#include "binding/arguments.hpp"
#include "binding/boundary.hpp"

namespace quorix::pipeline {
namespace {

// A table taken and read: what its columns point into, their names, and
// the columns themselves.
struct ArrowInput {
    std::unique_ptr<arrow::ExportedTable> exported;
    std::vector<std::string> names;
    GatheredColumns gathered{0, 0};
};

Result<ArrowInput> read_arrow_input(PyObject* exporter) {
    ArrowInput input;
    QUORIX_TRY(input.exported, take_arrow_table(exporter));
    if (auto fault = arrow::column_names(input.exported->schema(), input.names)) {
        return PyError::pending(PyExc_ValueError, fault->message);
    }
    std::size_t rows = 0;
    for (std::size_t b = 0; b < input.exported->batch_count(); ++b) {
        const std::int64_t length = input.exported->batch(b).length;
        if (length < 0) return PyError::pending(PyExc_ValueError, "malformed Arrow data: a batch of negative length");
        rows += static_cast<std::size_t>(length);
    }
    input.gathered = GatheredColumns(rows, input.names.size());
    if (auto fault = arrow::gather_table_columns(*input.exported, input.gathered)) {
        return PyError::pending(fault->kind == arrow::TableFault::Kind::kType ? PyExc_TypeError : PyExc_ValueError,
                                fault->message);
    }
    return input;
}

Result<PyRef> names_list(const std::vector<std::string>& names) {
    QUORIX_TRY(PyRef list, checked(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t c = 0; c < names.size(); ++c) {
        QUORIX_TRY(PyRef name,
                   checked(PyUnicode_DecodeUTF8(names[c].data(), static_cast<Py_ssize_t>(names[c].size()), "replace")));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), name.release());
    }
    return list;
}

// What encode learns of the columns, the codes written column-major into
// `codes` (rows apart per column), or nowhere when it is null; the cells of
// each text counted when asked for.
Learned learn_columns(GatheredColumns& gathered, double* codes, bool count) {
    Learned learned;
    const std::size_t rows = gathered.rows;
    if (count && codes == nullptr) {
        learned.counts.emplace();
        learned.record.encoding_info = learn_counting(gathered, *learned.counts);
    } else {
        learned.record.encoding_info = encode_object_array(gathered, codes, 1, rows);
        if (count) {
            learned.counts = count_columns(*learned.record.encoding_info, rows,
                                           [&](ColumnIndex c, std::size_t r) { return codes[c * rows + r]; });
        }
    }
    learned.numbers_read.assign(gathered.cols, 0);
    for (ColumnIndex c = 0; c < gathered.cols; ++c) {
        const GatheredColumn& column = gathered.columns[c];
        if (!column.is_string && column.holds_a_number(gathered.rows)) learned.numbers_read[c] = 1;
    }
    return learned;
}

Result<PyRef> learn_arrow(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const LearnArguments given, learn_arguments("learn_arrow()", args, nargsf, kwnames));
    QUORIX_TRY(ArrowInput input, read_arrow_input(given.table));
    QUORIX_TRY(PyRef learned, new_learned_object(learn_columns(input.gathered, nullptr, given.count)));
    QUORIX_TRY(PyRef names, names_list(input.names));
    QUORIX_TRY(PyRef rows, checked(PyLong_FromSize_t(input.gathered.rows)));
    return checked(PyTuple_Pack(3, learned.get(), names.get(), rows.get()));
}

Result<PyRef> learn_and_encode_arrow(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const LearnArguments given, learn_arguments("learn_and_encode_arrow()", args, nargsf, kwnames));
    QUORIX_TRY(ArrowInput input, read_arrow_input(given.table));
    QUORIX_TRY(Matrix codes, Matrix::uninitialised(input.gathered.rows, input.gathered.cols, true));
    QUORIX_TRY(PyRef learned, new_learned_object(learn_columns(input.gathered, codes.data(), given.count)));
    QUORIX_TRY(PyRef names, names_list(input.names));
    return checked(PyTuple_Pack(3, learned.get(), names.get(), codes.array()));
}

Result<UnknownRule> unknown_rule(PyObject* unknown) {
    if (unknown == Py_None) return UnknownRule{true, 0.0};
    const double value = PyFloat_AsDouble(unknown);
    if (value == -1.0 && PyErr_Occurred()) return PyError::fetch().with_note("while processing 'unknown'");
    return UnknownRule{false, value};
}

Result<PyRef> transform_arrow(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 4> parameters{
        {{"learned", true}, {"table", true}, {"unknown", true}, {"recode", false}}};
    std::array<PyObject*, 4> given{};
    QUORIX_CHECK(match_vectorcall("transform_arrow()", parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    QUORIX_TRY(const Learned* learned, learned_of(given[0], "learned"));
    QUORIX_TRY(const UnknownRule unknown, unknown_rule(given[2]));
    QUORIX_TRY(ArrowInput input, read_arrow_input(given[1]));
    const std::size_t cols = input.gathered.cols;
    if (learned->record.encoding_info) {
        const std::vector<ColumnIndex>& learned_columns = learned->record.encoding_info->string_columns;
        if (!learned_columns.empty() && learned_columns.back() >= cols) {
            return PyError::pending(PyExc_ValueError, "the table has " + std::to_string(cols) + " columns, but column " +
                                                          std::to_string(learned_columns.back()) +
                                                          " was learned as text");
        }
    }
    GatheredTable table;
    QUORIX_TRY(table.matrix, Matrix::uninitialised(input.gathered.rows, cols, true));
    table.gathered = std::move(input.gathered);
    QUORIX_TRY(const RecodeTables recode, recode_tables_of(given[3] != nullptr ? given[3] : Py_None, *learned, cols));
    if (std::optional<LookupFault> fault = look_up_codes(*learned, table, unknown, recode.by_column)) {
        return lookup_error(*fault, Labels(input.names), nullptr);
    }
    QUORIX_TRY(PyRef names, names_list(input.names));
    return checked(PyTuple_Pack(2, names.get(), table.matrix.array()));
}

}  // namespace

PyObject* module_learn_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return learn_arrow(args, nargsf, kwnames); });
}

PyObject* module_learn_and_encode_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return learn_and_encode_arrow(args, nargsf, kwnames); });
}

PyObject* module_transform_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return transform_arrow(args, nargsf, kwnames); });
}

}  // namespace quorix::pipeline
