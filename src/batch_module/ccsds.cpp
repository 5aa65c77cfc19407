#include "batch_module/ccsds.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/ccsds_scan.hpp"
#include "python/buffers.hpp"
#include "python/mapping_guard.hpp"

namespace fieldloom::batch {

const char ccsds_cuts_doc[] =
    "ccsds_cuts(buffer, apids, blocksize, window, /)\n--\n\n"
    "Where to cut a buffer of CCSDS space packets into ranges of about blocksize bytes.";

const char scan_ccsds_doc[] =
    "scan_ccsds(buffer, apids, /)\n--\n\n"
    "Walk the CCSDS space packets of a buffer; see fieldloom_batch.scan_ccsds.";

namespace {

constexpr std::size_t kColumnCount = 8;
// Bytes per row of each column, in the order of ccsds::Columns.
constexpr std::array<std::size_t, kColumnCount> kItemSize = {8, 4, 1, 1, 1, 2, 1, 2};
// Rows to start with: enough for most recordings of modest packets, and
// little memory for a small buffer or a huge one (the columns grow by
// doubling; shrinking at the end gives back the rest).
constexpr std::size_t kFirstCapacity = std::size_t{1} << 16;

class Rows {
public:
    bool reserve(std::size_t capacity) {
        for (std::size_t i = 0; i < kColumnCount; ++i) {
            if (!arrays_[i]) arrays_[i] = PyRef(PyByteArray_FromStringAndSize(nullptr, 0));
            if (!arrays_[i] ||
                PyByteArray_Resize(arrays_[i].get(), static_cast<Py_ssize_t>(capacity * kItemSize[i])) < 0)
                return false;
        }
        capacity_ = capacity;
        return true;
    }

    std::size_t capacity() const noexcept { return capacity_; }

    ccsds::Columns columns() const noexcept {
        auto at = [this](std::size_t i) { return PyByteArray_AS_STRING(arrays_[i].get()); };
        return {
            reinterpret_cast<std::int64_t*>(at(0)), reinterpret_cast<std::uint32_t*>(at(1)),
            reinterpret_cast<std::uint8_t*>(at(2)), reinterpret_cast<std::uint8_t*>(at(3)),
            reinterpret_cast<std::uint8_t*>(at(4)), reinterpret_cast<std::uint16_t*>(at(5)),
            reinterpret_cast<std::uint8_t*>(at(6)), reinterpret_cast<std::uint16_t*>(at(7)),
            capacity_,
        };
    }

    PyObject* result(const ccsds::Cursor& cursor) {
        if (!reserve(cursor.rows)) return nullptr;
        PyRef tuple(PyTuple_New(kColumnCount + 2));
        PyRef rows(PyLong_FromSize_t(cursor.rows));
        PyRef end(PyLong_FromSize_t(cursor.position));
        if (!tuple || !rows || !end) return nullptr;
        for (std::size_t i = 0; i < kColumnCount; ++i)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), arrays_[i].release());
        PyTuple_SET_ITEM(tuple.get(), kColumnCount, rows.release());
        PyTuple_SET_ITEM(tuple.get(), kColumnCount + 1, end.release());
        return tuple.release();
    }

private:
    std::array<PyRef, kColumnCount> arrays_;
    std::size_t capacity_ = 0;
};

bool read_filter(PyObject* object, ccsds::ApidFilter& filter) {
    HeldBuffer bitmap;
    if (!bitmap.hold(object, PyBUF_SIMPLE)) return false;
    if (bitmap.size() != ccsds::kApidCount / 8) {
        PyErr_Format(PyExc_ValueError, "the APID bitmap must be %zu bytes, not %zu", ccsds::kApidCount / 8,
                     bitmap.size());
        return false;
    }
    for (std::uint32_t apid = 0; apid < ccsds::kApidCount; ++apid)
        if (static_cast<const std::uint8_t*>(bitmap.data())[apid >> 3] >> (apid & 7) & 1)
            filter.keep(static_cast<std::uint16_t>(apid));
    return true;
}

// The argument count, then args[1]: None (every APID) or the APID bitmap.
bool read_filter_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected,
                          ccsds::ApidFilter& filter, bool& filtered) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", function, expected, nargs);
        return false;
    }
    filtered = args[1] != Py_None;
    return !filtered || read_filter(args[1], filter);
}

// ccsds::cut over a read-only mapping of a file, `window` bytes at a time, handing back the pages
// it has passed: they would otherwise stay resident until the map is closed, and a memory monitor
// that counts resident pages (Dask's does) would see the whole file. Dropping pages of a file
// mapped read-only loses nothing; a later read maps them again. Each window's walk stops at the
// first packet not whole within it and the next resumes there, so the cuts are those of one walk.
std::size_t cut_releasing(const std::uint8_t* data, std::size_t size, std::size_t window, ccsds::Cuts& cuts,
                          const ccsds::ApidFilter* filter) noexcept {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t position = 0;
    std::size_t released = 0;
    for (std::size_t limit = 0; limit < size;) {
        limit = size - limit > window ? limit + window : size;
        ccsds::walk_to(data, limit, position, cuts, filter);
        const std::size_t behind = position / page * page;
        if (behind > released) {
            madvise(const_cast<std::uint8_t*>(data) + released, behind - released, MADV_DONTNEED);
            released = behind;
        }
    }
    return position;
}

}  // namespace

PyObject* scan_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    ccsds::ApidFilter filter;
    bool filtered = false;
    if (!read_filter_argument("scan_ccsds", args, nargs, 2, filter, filtered)) return nullptr;

    HeldBuffer buffer;
    if (!buffer.hold(args[0], PyBUF_SIMPLE)) return nullptr;
    // A packet takes at least seven bytes, which bounds the rows.
    const std::size_t most_rows = buffer.size() / 7;
    Rows rows;
    if (!rows.reserve(most_rows < kFirstCapacity ? most_rows : kFirstCapacity)) return nullptr;

    const mapping::ReadCheck whole(buffer.data(), buffer.size());
    ccsds::Cursor cursor;
    for (;;) {
        bool done;
        const ccsds::Columns columns = rows.columns();
        Py_BEGIN_ALLOW_THREADS
        done = ccsds::scan(static_cast<const std::uint8_t*>(buffer.data()), buffer.size(), cursor, columns,
                           filtered ? &filter : nullptr);
        Py_END_ALLOW_THREADS
        if (done) break;
        const std::size_t grown = rows.capacity() * 2;
        if (!rows.reserve(grown < most_rows ? grown : most_rows)) return nullptr;
    }
    if (!whole.passed()) return nullptr;
    return rows.result(cursor);
}

PyObject* ccsds_cuts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    ccsds::ApidFilter filter;
    bool filtered = false;
    if (!read_filter_argument("ccsds_cuts", args, nargs, 4, filter, filtered)) return nullptr;
    const unsigned long long blocksize = PyLong_AsUnsignedLongLong(args[2]);
    if (blocksize == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (blocksize == 0) {
        PyErr_SetString(PyExc_ValueError, "blocksize must be at least 1");
        return nullptr;
    }
    HeldBuffer buffer;
    if (!buffer.hold(args[0], PyBUF_SIMPLE)) return nullptr;
    const std::size_t most = buffer.size() / blocksize + 1;
    PyRef starts(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(most * 8)));
    PyRef firsts(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(most * 8)));
    if (!starts || !firsts) return nullptr;
    ccsds::Cuts cuts{reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(starts.get())),
                     reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(firsts.get())), blocksize};
    const std::size_t window = PyLong_AsSize_t(args[3]);
    if (window == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    const mapping::ReadCheck whole(buffer.data(), buffer.size());
    std::size_t end = 0;
    Py_BEGIN_ALLOW_THREADS
    end = window ? cut_releasing(static_cast<const std::uint8_t*>(buffer.data()), buffer.size(), window, cuts,
                                 filtered ? &filter : nullptr)
                  : ccsds::cut(static_cast<const std::uint8_t*>(buffer.data()), buffer.size(), cuts,
                               filtered ? &filter : nullptr);
    Py_END_ALLOW_THREADS
    if (!whole.passed()) return nullptr;
    if (PyByteArray_Resize(starts.get(), static_cast<Py_ssize_t>(cuts.count * 8)) < 0 ||
        PyByteArray_Resize(firsts.get(), static_cast<Py_ssize_t>(cuts.count * 8)) < 0)
        return nullptr;
    return Py_BuildValue("(OOKn)", starts.get(), firsts.get(), static_cast<unsigned long long>(cuts.kept),
                         static_cast<Py_ssize_t>(end));
}

}  // namespace fieldloom::batch
