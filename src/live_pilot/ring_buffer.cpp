// MultiChannelCircularBuffer: the sample store between board reads and the decoder.
//
// State lives in the instance's attributes and is read back on every call, so a host that
// replaces `buffer` or moves `index` sees its change honoured. Blocks are copied into the storage
// natively when storage and block are plain float64 arrays; any other case (other dtypes, shapes
// that only NumPy's broadcasting rules decide, overlapping memory, odd attribute values) goes
// through NumPy's own slice assignment, which also raises NumPy's errors.
#include <pybind11/numpy.h>

#include <cstring>
#include <vector>

#include "common/board.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"
#include "common/python_values.hpp"

namespace corvane::live_pilot {

namespace {

// The class's own default overlap; the module's buffer is made with kLiveOverlapRatio.
constexpr double kDefaultOverlapRatio = 0.8;

// array[:, start:stop]
py::object columns(const py::object& array, const py::object& start, const py::object& stop) {
    return array[py::make_tuple(whole(), slice_of(start, stop))];
}

void set_columns(const py::object& array, const py::object& start, const py::object& stop, const py::object& value) {
    array[py::make_tuple(whole(), slice_of(start, stop))] = value;
}

// A 2-D float64 ndarray seen through its raw memory.
struct Matrix {
    char* data;
    py::ssize_t rows, cols, row_stride, col_stride;

    double& at(py::ssize_t row, py::ssize_t col) const {
        return *reinterpret_cast<double*>(data + row * row_stride + col * col_stride);
    }
    // First and one-past-last byte the matrix may touch.
    std::pair<const char*, const char*> extent() const {
        const char* low = data;
        const char* high = data + sizeof(double);
        for (auto [count, stride] : {std::pair{rows, row_stride}, std::pair{cols, col_stride}}) {
            if (count == 0) return {data, data};
            (stride < 0 ? low : high) += (count - 1) * stride;
        }
        return {low, high};
    }
};

std::optional<Matrix> float64_matrix(const py::object& value, bool writable) {
    if (!py::isinstance<py::array>(value)) return std::nullopt;
    auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 2 || !array.dtype().is(py::dtype::of<double>())) return std::nullopt;
    if (writable && !array.writeable()) return std::nullopt;
    return Matrix{static_cast<char*>(const_cast<void*>(array.data())), array.shape(0), array.shape(1),
                  array.strides(0), array.strides(1)};
}

bool overlaps(const Matrix& a, const Matrix& b) {
    auto [a_low, a_high] = a.extent();
    auto [b_low, b_high] = b.extent();
    return a_low < b_high && b_low < a_high;
}

// storage[:, to:to + count] = block[:, from:from + count]; a one-row block feeds every row.
void copy_columns(const Matrix& storage, py::ssize_t to, const Matrix& block, py::ssize_t from, py::ssize_t count) {
    for (py::ssize_t row = 0; row < storage.rows; ++row) {
        py::ssize_t source_row = block.rows == 1 ? 0 : row;
        if (storage.col_stride == sizeof(double) && block.col_stride == sizeof(double)) {
            std::memcpy(&storage.at(row, to), &block.at(source_row, from), count * sizeof(double));
        } else {
            for (py::ssize_t col = 0; col < count; ++col) storage.at(row, to + col) = block.at(source_row, from + col);
        }
    }
}

// Copies the block natively when nothing but plain float64 memory is involved and the block
// fits the storage as the slice assignments would take it. Returns false to leave it to NumPy.
bool store_natively(const py::object& buffer, const py::object& data, const py::object& index_value,
                    const py::object& size_value, const py::object& count_value) {
    auto storage = float64_matrix(buffer, true);
    auto block = float64_matrix(data, false);
    auto index = exact_int(index_value);
    auto size = exact_int(size_value);
    auto count = exact_int(count_value);
    if (!storage || !block || !index || !size || !count) return false;
    if (*count != block->cols) return false;  // the copy reads exactly the block's own columns
    if (storage->cols != *size || *index < 0 || *index >= *size) return false;
    if (block->rows != storage->rows && block->rows != 1) return false;
    if (*count >= 2 * *size - *index) return false;  // NumPy raises for these
    if (storage->rows == 0 || *count == 0) return true;
    if (overlaps(*storage, *block)) return false;
    if (*index + *count <= *size) {
        copy_columns(*storage, *index, *block, 0, *count);
    } else {
        py::ssize_t head = *size - *index;
        copy_columns(*storage, *index, *block, 0, head);
        copy_columns(*storage, 0, *block, head, *count - head);
    }
    return true;
}

void store_with_numpy(const py::object& buffer, const py::object& data, const py::object& index,
                      const py::object& size, const py::object& count) {
    py::object end = index + count;
    if (end <= size) {
        set_columns(buffer, index, end, data);
        return;
    }
    py::object end_index = modulo(end, size);
    py::object head = size - index;
    set_columns(buffer, index, py::none(), columns(data, py::none(), head));
    set_columns(buffer, py::none(), end_index, columns(data, head, py::none()));
}

// The wrapped window: buffer[:, start:] followed by buffer[:, :stop], as one new array.
py::object joined_window(const py::object& buffer, const py::object& start_value, const py::object& stop_value,
                         const py::object& size_value) {
    auto storage = float64_matrix(buffer, false);
    auto start = exact_int(start_value);
    auto stop = exact_int(stop_value);
    auto size = exact_int(size_value);
    if (storage && start && stop && size && storage->cols == *size && *start >= 0 && *start < *size &&
        *stop >= 0 && *stop <= *size) {
        py::ssize_t tail = *size - *start;
        py::array_t<double> window(std::vector<py::ssize_t>{storage->rows, static_cast<py::ssize_t>(tail + *stop)});
        auto out = *float64_matrix(window, true);
        for (py::ssize_t row = 0; row < storage->rows; ++row) {
            for (py::ssize_t col = 0; col < tail; ++col) out.at(row, col) = storage->at(row, *start + col);
            for (py::ssize_t col = 0; col < *stop; ++col) out.at(row, tail + col) = storage->at(row, col);
        }
        return window;
    }
    auto np = py::module_::import("numpy");
    return np.attr("concatenate")(
        py::make_tuple(columns(buffer, start_value, py::none()), columns(buffer, py::none(), stop_value)),
        py::arg("axis") = 1);
}

py::str formatted(const py::object& value, const char* format_spec) {
    return py::module_::import("builtins").attr("format")(value, format_spec);
}

void init(py::object self, py::object num_channels, py::object buffer_size, py::object window_size,
          py::object overlap_ratio) {
    auto np = py::module_::import("numpy");
    auto builtins = py::module_::import("builtins");
    self.attr("buffer") = np.attr("zeros")(py::make_tuple(num_channels, buffer_size));
    self.attr("buffer_size") = buffer_size;
    self.attr("window_size") = window_size;
    py::object overlap_samples = builtins.attr("int")(window_size * overlap_ratio);
    self.attr("overlap_samples") = overlap_samples;
    py::object step_size = window_size - overlap_samples;
    self.attr("step_size") = step_size;
    self.attr("index") = 0;
    self.attr("last_window_end") = 0;

    py::float_ rate(static_cast<double>(kSamplingRate));
    corvane::print("Initialized circular buffer:");
    corvane::print(py::str("- Buffer size: {} samples ({}s)").format(buffer_size, formatted(buffer_size / rate, ".1f")));
    corvane::print(py::str("- Window size: {} samples ({}s)").format(window_size, formatted(window_size / rate, ".1f")));
    corvane::print(py::str("- Overlap: {}% ({} samples)")
              .format(formatted(overlap_ratio * py::int_(100), ".0f"), overlap_samples));
    corvane::print(py::str("- Step size: {} samples ({}s)").format(step_size, formatted(step_size / rate, ".3f")));
}

// The block's sample count: for an ndarray (subclasses included) its own C-level shape, which a
// subclass cannot misreport; for anything else what its `shape` says.
py::object sample_count(const py::object& data) {
    if (py::isinstance<py::array>(data)) {
        auto array = py::reinterpret_borrow<py::array>(data);
        if (array.ndim() >= 2) return py::int_(array.shape(1));
    }
    return data.attr("shape")[py::int_(1)];
}

py::object add_data(py::object self, py::object data) {
    py::object count = sample_count(data);
    py::object buffer = self.attr("buffer");
    py::object index = self.attr("index");
    py::object size = self.attr("buffer_size");
    if (!store_natively(buffer, data, index, size, count)) store_with_numpy(buffer, data, index, size, count);
    index = modulo(index + count, size);
    self.attr("index") = index;
    py::object samples_since_last = modulo(index - self.attr("last_window_end"), size);
    return samples_since_last >= self.attr("step_size") ? py::object(py::bool_(true)) : py::object(py::bool_(false));
}

py::object get_window(py::object self) {
    py::object index = self.attr("index");
    self.attr("last_window_end") = index;
    py::object size = self.attr("buffer_size");
    py::object start = modulo(index - self.attr("window_size"), size);
    py::object buffer = self.attr("buffer");
    if (start < index) return columns(buffer, start, index);
    return joined_window(buffer, start, index, size);
}

}  // namespace

void bind_ring_buffer(py::module_& m) {
    py::object cls = make_class("live_pilot", "MultiChannelCircularBuffer",
                                py::make_tuple(py::module_::import("builtins").attr("object")));
    add_method(cls, "__init__", &init, py::arg("num_channels"), py::arg("buffer_size"),
               py::arg("window_size") = kLiveWindowSamples, py::arg("overlap_ratio") = kDefaultOverlapRatio);
    add_method(cls, "add_data", &add_data, py::arg("data"),
               py::doc("Add new data and return True if enough new samples for next window"));
    add_method(cls, "get_window", &get_window,
               py::doc("Get the latest overlapping window of data"));
    m.attr("MultiChannelCircularBuffer") = cls;
}

}  // namespace corvane::live_pilot
