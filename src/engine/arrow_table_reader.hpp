// Reading a whole Arrow table (the struct batches of a C stream, each
// column's chunks where they lie) into gathered columns, with no Arrow
// library and no interpreter.
//
// One rule for every column, by its Arrow type:
//   - string, large_string, string_view: texts (nulls missing); every text
//     must be UTF-8;
//   - a dictionary of such texts, with indices of any integer width, signed
//     or unsigned: read through its dictionary (a null index, or an index of
//     a null entry, is missing; an entry no row uses is never read);
//   - integers, floats (half, single, double) and booleans: numbers, as
//     float64 (booleans 1.0 and 0.0, nulls NaN); the null type: all NaN;
//   - anything else: refused, naming the column and its type.
// A text column whose every row is null reads as a numeric column of NaN,
// as a pandas `str` column of missing values does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/gathered_columns.hpp"
#include "engine/arrow_c_data.hpp"

namespace quorix::arrow {

// A stream's schema and batches, owned: released, each exactly once, when
// this goes. The texts of gathered columns are views into the batches.
class ExportedTable {
public:
    ExportedTable();
    ExportedTable(const ExportedTable&) = delete;
    ExportedTable& operator=(const ExportedTable&) = delete;
    ~ExportedTable();

    ArrowSchema& schema() noexcept { return *schema_; }
    const ArrowSchema& schema() const noexcept { return *schema_; }
    // A fresh, empty array for the producer to fill and this table to release.
    ArrowArray& add_batch();
    void drop_last_batch() noexcept { batches_.pop_back(); }
    std::size_t batch_count() const noexcept { return batches_.size(); }
    const ArrowArray& batch(std::size_t b) const noexcept { return *batches_[b]; }

private:
    std::unique_ptr<ArrowSchema> schema_;
    std::vector<std::unique_ptr<ArrowArray>> batches_;
};

struct TableFault {
    enum class Kind : std::uint8_t { kType, kMalformed, kNotUtf8 };
    Kind kind;
    std::string message;  // names the column
};

// The column names the schema gives (empty for a field without one); a
// fault when the schema is not a struct of fields.
std::optional<TableFault> column_names(const ArrowSchema& schema, std::vector<std::string>& names);

// A readable name of an Arrow format ("timestamp[us]", "binary", ...).
std::string type_name(const ArrowSchema& field);

// Reads every column of `table` into `gathered` (whose rows are the sum of
// the batches' lengths and whose cols the schema's fields). Every buffer a
// read depends on is checked first; nothing in the table changes while
// the columns are read. Dictionary indices are copied as they are checked.
std::optional<TableFault> gather_table_columns(const ExportedTable& table, GatheredColumns& gathered);

}  // namespace quorix::arrow
