// The columns of an Arrow table, chunk by chunk, checked, then gathered.
#include "engine/arrow_table_reader.hpp"

#include <limits>
#include <string_view>
#include <utility>

#include "engine/arrow_text_reader.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/unaligned.hpp"

namespace quorix::arrow {

ExportedTable::ExportedTable() : schema_(std::make_unique<ArrowSchema>()) { schema_->release = nullptr; }

ExportedTable::~ExportedTable() {
    for (auto& batch : batches_) {
        if (batch->release != nullptr) batch->release(batch.get());
    }
    if (schema_->release != nullptr) schema_->release(schema_.get());
}

ArrowArray& ExportedTable::add_batch() {
    batches_.push_back(std::make_unique<ArrowArray>());
    batches_.back()->release = nullptr;
    return *batches_.back();
}

namespace {

using Type = NumberSource::Type;

// An integer format's width in bytes and signedness; width 0 for others.
struct IntegerFormat {
    std::size_t width = 0;
    bool is_signed = false;
};

IntegerFormat integer_format(std::string_view format) {
    if (format.size() != 1) return {};
    switch (format[0]) {
        case 'c': return {1, true};
        case 'C': return {1, false};
        case 's': return {2, true};
        case 'S': return {2, false};
        case 'i': return {4, true};
        case 'I': return {4, false};
        case 'l': return {8, true};
        case 'L': return {8, false};
        default: return {};
    }
}

// The number type and element width of a numeric format; kNone for others.
std::pair<Type, std::size_t> number_format(std::string_view format) {
    if (format.size() != 1) return {Type::kNone, 0};
    switch (format[0]) {
        case 'b': return {Type::kBoolBits, 0};
        case 'c': return {Type::kInt8, 1};
        case 'C': return {Type::kUInt8, 1};
        case 's': return {Type::kInt16, 2};
        case 'S': return {Type::kUInt16, 2};
        case 'i': return {Type::kInt32, 4};
        case 'I': return {Type::kUInt32, 4};
        case 'l': return {Type::kInt64, 8};
        case 'L': return {Type::kUInt64, 8};
        case 'e': return {Type::kFloat16, 2};
        case 'f': return {Type::kFloat32, 4};
        case 'g': return {Type::kFloat64, 8};
        default: return {Type::kNone, 0};
    }
}

bool is_text_format(std::string_view format) { return format == "u" || format == "U" || format == "vu"; }

// Appended piece by piece: GCC 12 misreads `"'" + std::string(name)` as an
// overlapping copy of unbounded size and warns in Release builds.
std::string quoted(std::string_view name) {
    std::string text;
    text.reserve(name.size() + 2);
    text += '\'';
    text += name;
    text += '\'';
    return text;
}

// Rows [offset, offset + length) of a struct batch's child, as an array of
// their own: the batch's offset moves the child's. The null count is left
// for the reader to count when the rows are not the child's own.
std::optional<std::string> child_rows(const ArrowArray& batch, std::size_t c, ArrowArray& rows) {
    const ArrowArray* child = batch.children[c];
    if (child == nullptr || child->release == nullptr) return "a released column";
    if (child->length < 0 || child->offset < 0) return "negative length or offset";
    if (child->length - batch.offset < batch.length) return "a column shorter than its batch";
    rows = *child;
    if (batch.offset != 0 || child->length != batch.length) {
        rows.offset = child->offset + batch.offset;
        rows.length = batch.length;
        rows.null_count = -1;
    }
    return std::nullopt;
}

bool bit_set(const std::uint8_t* bits, std::uint64_t bit) { return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0; }

class ColumnGatherer {
public:
    ColumnGatherer(const ExportedTable& table, std::size_t c, std::string_view name, GatheredColumn& column)
        : table_(table), c_(c), name_(name), field_(*table.schema().children[c]), column_(column) {}

    std::optional<TableFault> gather() {
        const std::string_view format(field_.format);
        if (field_.dictionary != nullptr) return dictionary();
        if (is_text_format(format)) return texts();
        if (format == "n") {
            column_.number_source.type = Type::kNaN;
            return std::nullopt;
        }
        if (number_format(format).first != Type::kNone) return numbers();
        return TableFault{TableFault::Kind::kType, "column " + quoted(name_) + " has the Arrow type " +
                                                       type_name(field_) +
                                                       ", which holds neither texts nor numbers"};
    }

private:
    TableFault malformed(std::size_t batch, const std::string& what) const {
        return TableFault{TableFault::Kind::kMalformed, "malformed Arrow data in column " + quoted(name_) +
                                                            " of batch " + std::to_string(batch) + ": " + what};
    }
    TableFault not_utf8(std::size_t batch) const {
        return TableFault{TableFault::Kind::kNotUtf8, "column " + quoted(name_) + " holds a text that is not UTF-8 (batch " +
                                                          std::to_string(batch) + ")"};
    }

    // Each batch's rows of this column, checked to lie in the child.
    std::optional<TableFault> each_chunk(std::vector<ArrowArray>& chunks) {
        chunks.resize(table_.batch_count());
        for (std::size_t b = 0; b < chunks.size(); ++b) {
            if (auto error = child_rows(table_.batch(b), c_, chunks[b])) return malformed(b, *error);
        }
        return std::nullopt;
    }

    void missing_column() {
        column_.is_string = false;
        column_.number_source = NumberSource{};
        column_.number_source.type = Type::kNaN;
    }

    std::optional<TableFault> texts() {
        std::vector<ArrowArray> chunks;
        if (auto fault = each_chunk(chunks)) return fault;
        std::vector<TextArray> arrays;
        std::size_t first_valid = 0;
        bool valid_seen = false;
        for (std::size_t b = 0; b < chunks.size(); ++b) {
            OpenedTextArray opened = open_text_array(field_, chunks[b]);
            if (opened.status != OpenStatus::kOk) return malformed(b, opened.error);
            if (opened.array.size() == 0) continue;
            if (!opened.array.holds_utf8()) return not_utf8(b);
            if (!valid_seen) {
                std::size_t r = 0;
                while (r < opened.array.size() && opened.array.is_null(r)) ++r;
                first_valid += r;
                valid_seen = r < opened.array.size();
            }
            arrays.push_back(opened.array);
        }
        if (!valid_seen) {
            missing_column();
            return std::nullopt;
        }
        // The missing texts of a pandas `str` column: missing-value markers.
        column_.is_string = true;
        column_.texts.assign_arrow(std::move(arrays), "NaN", "nan", first_valid);
        return std::nullopt;
    }

    std::optional<TableFault> dictionary() {
        const ArrowSchema& values = *field_.dictionary;
        if (values.format == nullptr || !is_text_format(values.format)) {
            return TableFault{TableFault::Kind::kType, "column " + quoted(name_) + " has the Arrow type " +
                                                           type_name(field_) +
                                                           ", a dictionary whose values are not texts"};
        }
        const IntegerFormat index = integer_format(field_.format);
        if (index.width == 0) return malformed(0, "dictionary indices of format '" + std::string(field_.format) + "'");
        std::vector<ArrowArray> chunks;
        if (auto fault = each_chunk(chunks)) return fault;

        // Every chunk's dictionary, opened once; chunks sharing one (as
        // polars' do) share its categories.
        struct Dictionary {
            TextArray texts;
            std::size_t base = 0;
        };
        std::vector<Dictionary> dictionaries;
        std::vector<std::size_t> dictionary_of(chunks.size(), 0);
        std::vector<std::string_view> categories;
        std::vector<std::uint8_t> null_category;
        const ArrowArray* previous = nullptr;
        for (std::size_t b = 0; b < chunks.size(); ++b) {
            const ArrowArray& chunk = chunks[b];
            if (chunk.n_buffers != 2 || chunk.buffers == nullptr || chunk.n_children != 0) {
                return malformed(b, "dictionary indices need two buffers and no children");
            }
            const ArrowArray* entries = chunk.dictionary;
            if (entries == nullptr || entries->release == nullptr) return malformed(b, "no dictionary");
            if (previous != nullptr && entries->length == previous->length && entries->offset == previous->offset &&
                entries->n_buffers == previous->n_buffers && entries->n_buffers >= 2 &&
                entries->buffers[1] == previous->buffers[1]) {
                dictionary_of[b] = dictionaries.size() - 1;
                continue;
            }
            OpenedTextArray opened = open_text_array(values, *entries);
            if (opened.status != OpenStatus::kOk) return malformed(b, opened.error);
            if (!opened.array.holds_utf8()) return not_utf8(b);
            dictionary_of[b] = dictionaries.size();
            dictionaries.push_back({opened.array, categories.size()});
            for (std::size_t k = 0; k < opened.array.size(); ++k) {
                categories.push_back(opened.array.text(k));
                null_category.push_back(opened.array.is_null(k) ? 1 : 0);
            }
            previous = entries;
        }

        std::size_t rows = 0;
        for (const ArrowArray& chunk : chunks) rows += static_cast<std::size_t>(chunk.length);
        const std::size_t code_bytes = categories.size() < std::numeric_limits<std::int32_t>::max() ? 4 : 8;
        CategoryCodes codes(code_bytes, rows);
        std::size_t row = 0, first_valid = rows;
        for (std::size_t b = 0; b < chunks.size(); ++b) {
            const ArrowArray& chunk = chunks[b];
            const auto length = static_cast<std::size_t>(chunk.length);
            if (length == 0) continue;
            const auto* validity = static_cast<const std::uint8_t*>(chunk.buffers[0]);
            const auto* data = static_cast<const char*>(chunk.buffers[1]);
            if (data == nullptr) return malformed(b, "no indices buffer");
            if (validity == nullptr && chunk.null_count > 0) return malformed(b, "null rows without a validity buffer");
            const Dictionary& dictionary = dictionaries[dictionary_of[b]];
            const auto entries = static_cast<std::uint64_t>(dictionary.texts.size());
            const auto offset = static_cast<std::uint64_t>(chunk.offset);
            for (std::size_t r = 0; r < length; ++r, ++row) {
                std::int64_t code = -1;
                if (validity == nullptr || bit_set(validity, offset + r)) {
                    const char* at = data + (offset + r) * index.width;
                    std::uint64_t entry;
                    if (index.is_signed) {
                        const std::int64_t signed_entry = CategoryCodes::load(at, index.width);
                        if (signed_entry < 0) return malformed(b, "negative dictionary index at row " + std::to_string(r));
                        entry = static_cast<std::uint64_t>(signed_entry);
                    } else {
                        entry = index.width == 1   ? load<std::uint8_t>(at)
                                : index.width == 2 ? load<std::uint16_t>(at)
                                : index.width == 4 ? load<std::uint32_t>(at)
                                                   : load<std::uint64_t>(at);
                    }
                    if (entry >= entries) {
                        return malformed(b, "dictionary index " + std::to_string(entry) + " at row " +
                                                std::to_string(r) + " out of range for " + std::to_string(entries) +
                                                " entries");
                    }
                    const std::size_t category = dictionary.base + static_cast<std::size_t>(entry);
                    if (null_category[category] == 0) code = static_cast<std::int64_t>(category);
                }
                codes.set(row, code);
                if (code >= 0 && first_valid == rows) first_valid = row;
            }
        }
        if (first_valid == rows) {
            missing_column();
            return std::nullopt;
        }
        column_.is_string = true;
        column_.texts.assign_dictionary(std::move(codes), std::move(categories), "NaN", "nan", first_valid);
        return std::nullopt;
    }

    std::optional<TableFault> numbers() {
        const auto [type, width] = number_format(field_.format);
        std::vector<ArrowArray> chunks;
        if (auto fault = each_chunk(chunks)) return fault;
        std::vector<NumberSource> sources;
        std::vector<std::size_t> lengths;
        for (std::size_t b = 0; b < chunks.size(); ++b) {
            const ArrowArray& chunk = chunks[b];
            if (chunk.n_buffers != 2 || chunk.buffers == nullptr || chunk.n_children != 0 || chunk.dictionary != nullptr) {
                return malformed(b, "a numeric array has two buffers, no children and no dictionary");
            }
            if (chunk.length == 0) continue;
            if (chunk.buffers[1] == nullptr) return malformed(b, "no values buffer");
            const auto* validity = static_cast<const std::uint8_t*>(chunk.buffers[0]);
            if (validity == nullptr && chunk.null_count > 0) return malformed(b, "null rows without a validity buffer");
            NumberSource source;
            source.type = type;
            const auto offset = static_cast<std::size_t>(chunk.offset);
            const auto* values = static_cast<const char*>(chunk.buffers[1]);
            source.data = type == Type::kBoolBits ? values : values + offset * width;
            source.stride = static_cast<std::ptrdiff_t>(width);
            source.valid_bits = chunk.null_count == 0 ? nullptr : validity;
            source.bit_offset = offset;
            sources.push_back(source);
            lengths.push_back(static_cast<std::size_t>(chunk.length));
        }
        column_.is_string = false;
        if (sources.size() == 1) {
            column_.number_source = sources[0];  // read where it lies
            return std::nullopt;
        }
        std::size_t rows = 0;
        for (std::size_t length : lengths) rows += length;
        column_.numbers.resize(rows);
        std::size_t row = 0;
        for (std::size_t k = 0; k < sources.size(); ++k) {
            for (std::size_t r = 0; r < lengths[k]; ++r) column_.numbers[row++] = sources[k][r];
        }
        if (rows == 0) column_.number_source.type = Type::kNaN;
        return std::nullopt;
    }

    const ExportedTable& table_;
    std::size_t c_;
    std::string_view name_;
    const ArrowSchema& field_;
    GatheredColumn& column_;
};

}  // namespace

std::optional<TableFault> column_names(const ArrowSchema& schema, std::vector<std::string>& names) {
    if (schema.release == nullptr || schema.format == nullptr || std::string_view(schema.format) != "+s") {
        return TableFault{TableFault::Kind::kMalformed, "the Arrow stream does not hold a table (a struct of columns)"};
    }
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
        return TableFault{TableFault::Kind::kMalformed, "malformed Arrow schema: no column list"};
    }
    names.clear();
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowSchema* field = schema.children[c];
        if (field == nullptr || field->format == nullptr) {
            return TableFault{TableFault::Kind::kMalformed, "malformed Arrow schema: column " + std::to_string(c)};
        }
        names.emplace_back(field->name != nullptr ? field->name : "");
    }
    return std::nullopt;
}

namespace {

std::string format_name(std::string_view format) {
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"n", "null"},          {"b", "bool"},          {"c", "int8"},          {"C", "uint8"},
        {"s", "int16"},         {"S", "uint16"},        {"i", "int32"},         {"I", "uint32"},
        {"l", "int64"},         {"L", "uint64"},        {"e", "halffloat"},     {"f", "float"},
        {"g", "double"},        {"z", "binary"},        {"Z", "large_binary"},  {"vz", "binary_view"},
        {"u", "string"},        {"U", "large_string"},  {"vu", "string_view"},  {"tdD", "date32[day]"},
        {"tdm", "date64[ms]"},  {"tts", "time32[s]"},   {"ttm", "time32[ms]"},  {"ttu", "time64[us]"},
        {"ttn", "time64[ns]"},  {"+l", "list"},         {"+L", "large_list"},   {"+vl", "list_view"},
        {"+vL", "large_list_view"}, {"+s", "struct"},   {"+m", "map"},          {"+r", "run_end_encoded"},
        {"tiM", "month_interval"}, {"tiD", "day_time_interval"}, {"tin", "month_day_nano_interval"},
    };
    for (const auto& [code, name] : kNames) {
        if (format == code) return std::string(name);
    }
    auto unit = [](char u) -> std::string_view {
        switch (u) {
            case 's': return "s";
            case 'm': return "ms";
            case 'u': return "us";
            case 'n': return "ns";
            default: return "?";
        }
    };
    if (format.size() >= 4 && format.substr(0, 2) == "ts" && format[3] == ':') {
        const std::string_view zone = format.substr(4);
        return "timestamp[" + std::string(unit(format[2])) + (zone.empty() ? "" : ", tz=" + std::string(zone)) + "]";
    }
    if (format.size() == 3 && format.substr(0, 2) == "tD") return "duration[" + std::string(unit(format[2])) + "]";
    if (format.starts_with("d:")) return "decimal(" + std::string(format.substr(2)) + ")";
    if (format.starts_with("w:")) return "fixed_size_binary[" + std::string(format.substr(2)) + "]";
    if (format.starts_with("+w:")) return "fixed_size_list[" + std::string(format.substr(3)) + "]";
    if (format.starts_with("+u")) return "union";
    return "of format '" + std::string(format) + "'";
}

}  // namespace

std::string type_name(const ArrowSchema& field) {
    const std::string_view format(field.format != nullptr ? field.format : "");
    if (field.dictionary != nullptr) {
        return "dictionary<values=" + type_name(*field.dictionary) + ", indices=" + format_name(format) + ">";
    }
    return format_name(format);
}

std::optional<TableFault> gather_table_columns(const ExportedTable& table, GatheredColumns& gathered) {
    std::vector<std::string> names;
    if (auto fault = column_names(table.schema(), names)) return fault;
    for (std::size_t b = 0; b < table.batch_count(); ++b) {
        const ArrowArray& batch = table.batch(b);
        if (batch.n_children != table.schema().n_children || (batch.n_children > 0 && batch.children == nullptr) ||
            batch.length < 0 || batch.offset < 0 || batch.null_count > 0) {
            return TableFault{TableFault::Kind::kMalformed,
                              "malformed Arrow data: batch " + std::to_string(b) + " does not match the schema"};
        }
    }
    std::vector<std::optional<TableFault>> faults(gathered.cols);
    parallel_for_each_index(gathered.cols, [&](std::size_t c) {
        faults[c] = ColumnGatherer(table, c, names[c], gathered.columns[c]).gather();
    });
    for (std::optional<TableFault>& fault : faults) {
        if (fault) return std::move(fault);
    }
    return std::nullopt;
}

}  // namespace quorix::arrow
