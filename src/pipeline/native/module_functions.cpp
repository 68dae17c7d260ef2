// The module's functions: learning a table, reading a state, merging.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "pipeline/native/fault_messages.hpp"
#include "pipeline/native/learn_arguments.hpp"
#include "pipeline/native/learned_object.hpp"
#include "pipeline/native/merge_learned.hpp"
#include "pipeline/native/module_functions.hpp"
#include "pipeline/native/read_table.hpp"
#include "pipeline/native/runs_objects.hpp"
#include "binding/arr_to_out.hpp"
#include "binding/pyany_to_vec.hpp"
#include "binding/arguments.hpp"
#include "binding/state_object.hpp"

namespace quorix::pipeline {
namespace {

bool holds_a_number(const Matrix& matrix, ColumnIndex c) {
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
        if (!std::isnan(matrix.cell(r, c))) return true;
    }
    return false;
}

// The counts of the string columns whose codes `matrix` holds.
TextCounts counts_in(const EncodingInfo& info, const Matrix& matrix) {
    return count_columns(info, matrix.rows(), [&](ColumnIndex c, std::size_t r) { return matrix.cell(r, c); });
}

// Encodes the table as Encoder.encode does, keeping what was learned; the
// codes are written only when asked for (a fit keeps the maps alone), the
// cells of each text counted when asked for.
Result<std::pair<Learned, GatheredTable>> learn_table(PyObject* obj, bool write_codes, bool count) {
    QUORIX_TRY(GatheredTable table, read_table(obj, true));
    Learned learned;
    if (table.copied) {
        learned.numbers_read.assign(table.matrix.cols(), 0);
        for (ColumnIndex c = 0; c < table.matrix.cols(); ++c) learned.numbers_read[c] = holds_a_number(table.matrix, c);
    } else if (table.encoded) {
        learned.numbers_read.assign(table.matrix.cols(), 0);  // a NumPy text array: every cell a text
    } else {
        learned.numbers_read = numbers_read_of(table.gathered);
    }
    if (count) learned.counts.emplace();
    if (count && !write_codes && !table.copied && !table.encoded) {
        // Counted in the pass that learns the texts: no code is written.
        learned.record.encoding_info = learn_counting(table.gathered, *learned.counts);
    } else {
        learned.record.encoding_info = encode_gathered(table, write_codes);
        if (count && learned.record.encoding_info) *learned.counts = counts_in(*learned.record.encoding_info, table.matrix);
    }
    return std::pair<Learned, GatheredTable>(std::move(learned), std::move(table));
}

}  // namespace

Result<PyRef> learn(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const LearnArguments given, learn_arguments("learn()", args, nargsf, kwnames));
    QUORIX_TRY(auto learned, learn_table(given.table, false, given.count));
    return new_learned_object(std::move(learned.first));
}

Result<PyRef> learn_and_encode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const LearnArguments given, learn_arguments("learn_and_encode()", args, nargsf, kwnames));
    QUORIX_TRY(auto learned, learn_table(given.table, true, given.count));
    QUORIX_TRY(PyRef object, new_learned_object(std::move(learned.first)));
    GatheredTable& gathered = learned.second;
    QUORIX_TRY(PyRef codes, arr_to_out(gathered.matrix, std::move(gathered.out), nullptr));
    return checked(PyTuple_Pack(2, object.get(), codes.get()));
}

namespace {

Result<std::span<const std::uint8_t>> bytes_of(PyObject* object, const char* what) {
    if (!PyBytes_Check(object)) {
        return PyError::type_mismatch(object, "bytes").with_note(std::string("while processing '") + what + "'");
    }
    return std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

// The counts given beside a state: a dict of column -> int64 bytes in the
// machine's order, one count per code of every string column, none negative.
Result<TextCounts> counts_of(PyObject* given, const std::optional<EncodingInfo>& info) {
    if (!PyDict_Check(given)) {
        return PyError::type_mismatch(given, "dict").with_note("while processing 'counts'");
    }
    const std::size_t columns = info ? info->string_columns.size() : 0;
    if (static_cast<std::size_t>(PyDict_Size(given)) != columns) {
        return PyError::pending(PyExc_ValueError, "counts must hold one entry per string column (" +
                                                      std::to_string(columns) + "), not " +
                                                      std::to_string(PyDict_Size(given)));
    }
    TextCounts counts;
    for (std::size_t i = 0; i < columns; ++i) {
        const ColumnIndex c = info->string_columns[i];
        QUORIX_TRY(PyRef key, checked(PyLong_FromSize_t(c)));
        PyObject* entry = PyDict_GetItemWithError(given, key.get());  // borrowed
        if (entry == nullptr) {
            if (PyErr_Occurred()) return PyError::fetch();
            return PyError::pending(PyExc_ValueError, "counts has no entry for string column " + std::to_string(c));
        }
        const PyRef held = PyRef::borrow(entry);
        QUORIX_TRY(const auto bytes, bytes_of(held.get(), "counts"));
        const std::size_t codes = code_count(*info, c);
        if (bytes.size() != codes * sizeof(std::int64_t)) {
            return PyError::pending(PyExc_ValueError, "the counts of column " + std::to_string(c) + " hold " +
                                                          std::to_string(bytes.size()) + " bytes, not 8 for each of its " +
                                                          std::to_string(codes) + " texts");
        }
        std::vector<std::int64_t> counted(codes);
        if (codes != 0) std::memcpy(counted.data(), bytes.data(), bytes.size());
        if (std::any_of(counted.begin(), counted.end(), [](std::int64_t n) { return n < 0; })) {
            return PyError::pending(PyExc_ValueError, "the counts of column " + std::to_string(c) +
                                                          " hold a negative count");
        }
        counts.emplace(c, std::move(counted));
    }
    return counts;
}

}  // namespace

Result<PyRef> from_state(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 3> parameters{
        {{"state", true}, {"numbers_read", true}, {"counts", false}}};
    std::array<PyObject*, 3> given{};
    QUORIX_CHECK(match_vectorcall("from_state()", parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    // Both are checked to be bytes before the state is read.
    QUORIX_CHECK(bytes_of(given[0], "state"));
    QUORIX_TRY(const auto flags, bytes_of(given[1], "numbers_read"));
    QUORIX_TRY(Encoder record, read_state_object(given[0], "state", "failed to read the state: "));
    Learned learned{std::move(record), std::vector<std::uint8_t>(flags.begin(), flags.end()), std::nullopt};
    if (learned.record.encoding_info) {
        // A state may list its string columns in any order, and one twice:
        // decode reads the list as a set, and so does everything here once it
        // is kept ascending and distinct, as learning makes it.
        std::vector<ColumnIndex>& columns = learned.record.encoding_info->string_columns;
        std::sort(columns.begin(), columns.end());
        columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    }
    if (given[2] != nullptr && given[2] != Py_None) {
        QUORIX_TRY(learned.counts, counts_of(given[2], learned.record.encoding_info));
    }
    return new_learned_object(std::move(learned));
}

namespace {

// The items of a sequence as a tuple: a list given is copied, as reading its
// items may run Python code (a label's __str__, a part's __bool__) that
// shrinks it under the index.
Result<PyRef> items_of(PyObject* sequence, const char* message) {
    QUORIX_TRY(PyRef items, checked(PySequence_Fast(sequence, message)));
    if (!PyList_Check(items.get())) return items;
    return checked(PyList_AsTuple(items.get()));
}

Result<Labels> labels_of(PyObject* labels) {
    if (labels == Py_None) return Labels();
    QUORIX_TRY(PyRef items, items_of(labels, "labels must be a sequence"));
    std::vector<std::string> texts;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        QUORIX_TRY(PyRef text, checked(PyObject_Str(PySequence_Fast_GET_ITEM(items.get(), i))));
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (data == nullptr) return PyError::fetch();
        texts.emplace_back(data, static_cast<std::size_t>(size));
    }
    return Labels(std::move(texts));
}

// The parts of a merge, checked: Learned objects whose string columns lie
// below `cols`. Each part is held for as long as its record is read: the
// sequence given may be a generator, or be emptied by a label's __str__.
struct MergeArguments {
    std::vector<PyRef> held;
    std::vector<const Learned*> parts;
    std::size_t cols = 0;
    Labels labels;
};

Result<MergeArguments> merge_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr std::array<Parameter, 3> parameters{{{"parts", true}, {"cols", true}, {"labels", true}}};
    std::array<PyObject*, 3> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    MergeArguments merging;
    {
        QUORIX_TRY(PyRef items, items_of(given[0], "parts must be a sequence"));
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        if (count == 0) return PyError::pending(PyExc_ValueError, "merge needs at least one part");
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
            QUORIX_TRY(const Learned* part, learned_of(item.get(), "parts"));
            merging.held.push_back(std::move(item));
            merging.parts.push_back(part);
        }
    }
    merging.cols = PyLong_AsSize_t(given[1]);
    if (merging.cols == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyError::fetch();
    for (const Learned* part : merging.parts) {
        const auto& info = part->record.encoding_info;
        if (info && !info->string_columns.empty() && info->string_columns.back() >= merging.cols) {
            return PyError::pending(PyExc_ValueError, "a part learned column " +
                                                          std::to_string(info->string_columns.back()) +
                                                          " as text, beyond the " + std::to_string(merging.cols) +
                                                          " columns");
        }
    }
    QUORIX_TRY(merging.labels, labels_of(given[2]));
    return merging;
}

}  // namespace

Result<PyRef> merge(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(MergeArguments merging, merge_arguments("merge()", args, nargsf, kwnames));
    std::variant<Learned, MergeFault> merged = merge_learned(merging.parts);
    if (auto* fault = std::get_if<MergeFault>(&merged)) return merge_error(*fault, merging.labels);
    return new_learned_object(std::get<Learned>(std::move(merged)));
}

Result<PyRef> check_merge(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(MergeArguments merging, merge_arguments("check_merge()", args, nargsf, kwnames));
    if (std::optional<MergeFault> fault = merge_fault(merging.parts)) {
        return merge_error(*fault, merging.labels);
    }
    return PyRef::borrow(Py_None);
}

namespace {

// The runs given to merge_runs and learn_runs, checked, their buffers held.
struct RunsArguments {
    std::vector<PyRef> held;
    std::vector<RunsPart> parts;
    Labels labels;
};

Result<RunsArguments> runs_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    static constexpr std::array<Parameter, 3> parameters{{{"parts", true}, {"cols", true}, {"labels", true}}};
    std::array<PyObject*, 3> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    const std::size_t cols = PyLong_AsSize_t(given[1]);
    if (cols == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyError::fetch();
    RunsArguments merging;
    QUORIX_TRY(PyRef items, items_of(given[0], "parts must be a sequence"));
    merging.held.push_back(items);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) return PyError::pending(PyExc_ValueError, "merge needs at least one part");
    for (Py_ssize_t i = 0; i < count; ++i) {
        QUORIX_TRY(RunsPart part, runs_from_object(PySequence_Fast_GET_ITEM(items.get(), i), cols, merging.held));
        merging.parts.push_back(std::move(part));
    }
    QUORIX_TRY(merging.labels, labels_of(given[2]));
    return merging;
}

Result<RunsPart> merged_runs(const RunsArguments& merging) {
    std::vector<const RunsPart*> parts;
    for (const RunsPart& part : merging.parts) parts.push_back(&part);
    std::variant<RunsPart, MergeFault> merged = merge_runs(parts);
    if (auto* fault = std::get_if<MergeFault>(&merged)) return merge_error(*fault, merging.labels);
    return std::get<RunsPart>(std::move(merged));
}

}  // namespace

Result<PyRef> merge_learned_runs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const RunsArguments merging, runs_arguments("merge_runs()", args, nargsf, kwnames));
    QUORIX_TRY(const RunsPart merged, merged_runs(merging));
    return runs_object(merged);
}

Result<PyRef> learn_runs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(const RunsArguments merging, runs_arguments("learn_runs()", args, nargsf, kwnames));
    QUORIX_TRY(const RunsPart merged, merged_runs(merging));
    return new_learned_object(learned_of_runs(merged));
}

}  // namespace quorix::pipeline
