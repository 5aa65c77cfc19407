// Text columns as UTF-8 bytes instead of str objects: Arrow's large_string
// layout (count + 1 int64 offsets, then the bytes) in two NumPy arrays, so
// a caller wraps them in Arrow without a copy and without Arrow headers
// here. Values come from the same decoders as the str path; the loop runs
// without the interpreter lock.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "engine/batch_kernels.hpp"
#include "engine/batch_layout.hpp"
#include "python/buffers.hpp"

namespace fieldloom::batch {

class Utf8Column {
public:
    // Arrays for `count` rows of `field`, sized for the most bytes its
    // encoding can give; false with the exception set.
    bool allocate(PyObject* numpy_empty, const CompiledField& field, std::uint64_t count);
    // (offsets[:kept + 1], data, bytes used): new reference.
    PyObject* result(std::uint64_t kept) const;

    std::int64_t* offsets = nullptr;
    std::uint8_t* data = nullptr;
    std::uint64_t capacity = 0;

private:
    PyRef offsets_array_;
    PyRef data_array_;
    HeldBuffer offsets_held_;
    HeldBuffer data_held_;
};

// Scratch for one text field, allocated before the lock is released.
struct TextScratch {
    std::vector<std::uint8_t> reversed;
    std::vector<std::uint8_t> units;
    explicit TextScratch(const CompiledField& field);
};

enum class TextRun : std::uint8_t { done, no_memory, overflowed };

// Decodes `field` of every packet not yet flagged in `failed` into `column`
// (nullptr: only checked), flagging the packets whose field fails; a
// flagged row is empty. Needs no interpreter lock.
TextRun decode_utf8_column(const CompiledField& field, const Packets& packets, std::uint8_t* failed,
                           Utf8Column* column, TextScratch& scratch) noexcept;

struct Utf8Text {
    const CompiledField* field;
    Utf8Column* column;  // nullptr: only checked
};

// decode_utf8_column for each text field, without the interpreter lock;
// false with the exception set.
bool decode_utf8_texts(const std::vector<Utf8Text>& texts, const Packets& packets, std::uint8_t* failed);

// Moves the rows from `from` on that are not flagged down over those that are.
void drop_failed_rows(Utf8Column& column, const std::uint8_t* failed, std::uint64_t count, std::uint64_t from) noexcept;

}  // namespace fieldloom::batch
