// The tables of a recording decoded with packet definitions, one per type,
// while they are built: their arrays, rows that fail, and the rows done
// with the interpreter lock.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/definitions/columns.hpp"
#include "engine/definitions/packet.hpp"
#include "python/buffers.hpp"

namespace fieldloom::defs {

// A table's index and offset arrays, held; the one-thread scan fills them
// (as a type's lane) before the table is allocated.
struct LaneArrays {
    PyRef index;
    PyRef offset;
    HeldBuffer index_held;
    HeldBuffer offset_held;
};

// One type's table while it is built.
struct Table {
    const TypeProgram* type = nullptr;
    std::unique_ptr<LaneArrays> place;  // each row's packet index and offset
    std::vector<PyRef> columns;
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::vector<std::uint8_t> failed;
    TypeRows rows;
    bool with_lock = false;  // it has slots done with the interpreter lock

    std::int64_t* index_data() const noexcept { return static_cast<std::int64_t*>(place->index_held.data()); }
    std::int64_t* offset_data() const noexcept { return static_cast<std::int64_t*>(place->offset_held.data()); }
};

// A table of `count` rows; its index and offset columns those of `lane` when given.
bool allocate(Table& table, const Arrays& arrays, std::uint64_t count, std::unique_ptr<LaneArrays> lane);

// Text, binary and arrays of a count from a field: one object per row.
bool fill_with_lock(Table& table, const Frames& frames, const Arrays& arrays);

// Removes the failed rows of a table; the arrays become views of the kept rows.
bool drop_failed(Table& table);

}  // namespace fieldloom::defs
