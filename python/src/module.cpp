// The _ztmime extension: one Python Reader object per C reader, item by item
// or whole messages at a time.  Every call into the library runs with the
// GIL released, so Python threads that each own a Reader parse in parallel.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ztmime.h"

#ifdef ZT_PY_ALLOC_SWITCH
#include "common/alloc.h"
#endif

namespace py = pybind11;

namespace {

PyObject *g_error = nullptr; // ztmime.Error

// Raises the reader's error with its message: MemoryError when the library
// ran out of memory, ztmime.Error otherwise.
[[noreturn]] void raise_reader_error(const ztmime_reader *r, int err)
{
    const char *msg = r ? ztmime_reader_error(r) : nullptr;
    if (!msg || !*msg)
        msg = err == ENOMEM ? "out of memory" : err ? std::strerror(err) : "the reader cannot go on";
    PyErr_SetString(err == ENOMEM ? PyExc_MemoryError : g_error, msg);
    throw py::error_already_set();
}

py::str utf8(const std::string &s)
{
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// The facts of one part, copied out of the reader (its pointers live only
// until the next part is announced).
struct PartRec {
    std::string path, content_type, charset, disposition, filename;
    int32_t depth = 0, encoding = 0;
    bool container = false;
    uint64_t size = 0;
    uint32_t problems = 0;
    long parent = -1; // index of the enclosing part in the message, -1 for the top
    // name NUL value NUL ... : one buffer for every field of the part
    std::string headers;
    std::string content;

    void take_info(const ztmime_part_info *pi)
    {
        path = pi->path ? pi->path : "";
        content_type = pi->content_type ? pi->content_type : "";
        charset = pi->charset ? pi->charset : "";
        disposition = pi->disposition ? pi->disposition : "";
        filename = pi->filename ? pi->filename : "";
        depth = pi->depth;
        encoding = pi->encoding;
        container = pi->container != 0;
        size = pi->size;
        problems = pi->problems;
    }

    // False when the reader could not decode the fields (out of memory):
    // the end of the list and a failure both return -1, errno tells them apart.
    bool take_headers(const ztmime_reader *r)
    {
        headers.clear();
        const char *name = nullptr, *value = nullptr;
        for (size_t i = 0;; ++i) {
            errno = 0;
            if (ztmime_reader_header_at(r, i, &name, &value) != 0)
                return errno != ENOMEM;
            headers.append(name ? name : "").push_back('\0');
            headers.append(value ? value : "").push_back('\0');
        }
    }
};

// Content types repeat across parts: keep one interned str for each.
PyObject *interned(const std::string &s)
{
    PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!o) {
        PyErr_Clear();
        o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
        if (!o)
            throw py::error_already_set();
        return o;
    }
    PyUnicode_InternInPlace(&o);
    return o;
}

PyObject *str_or_throw(const std::string &s)
{
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o)
        throw py::error_already_set();
    return o;
}

// A copy of part content still to make into a bytes object's buffer.
struct PendingCopy {
    char *to;
    const std::string *from;
};

// One part as a flat tuple: (path, depth, content_type, charset, disposition,
// filename, encoding, container, size, problems, headers, content, parent).
// The content's bytes object is made here but filled later, by the caller,
// so that large copies run without the GIL.
py::tuple part_tuple(const PartRec &p, std::vector<PendingCopy> &copies)
{
    PyObject *t = PyTuple_New(13);
    if (!t)
        throw py::error_already_set();
    py::tuple res = py::reinterpret_steal<py::tuple>(t);
    PyObject *content = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(p.content.size()));
    if (content && !p.content.empty())
        copies.push_back({PyBytes_AS_STRING(content), &p.content});
    PyTuple_SET_ITEM(t, 0, str_or_throw(p.path));
    PyTuple_SET_ITEM(t, 1, PyLong_FromLong(p.depth));
    PyTuple_SET_ITEM(t, 2, interned(p.content_type));
    PyTuple_SET_ITEM(t, 3, interned(p.charset));
    PyTuple_SET_ITEM(t, 4, interned(p.disposition));
    PyTuple_SET_ITEM(t, 5, str_or_throw(p.filename));
    PyTuple_SET_ITEM(t, 6, PyLong_FromLong(p.encoding));
    PyTuple_SET_ITEM(t, 7, PyBool_FromLong(p.container));
    PyTuple_SET_ITEM(t, 8, PyLong_FromUnsignedLongLong(p.size));
    PyTuple_SET_ITEM(t, 9, PyLong_FromUnsignedLong(p.problems));
    PyTuple_SET_ITEM(t, 10, PyBytes_FromStringAndSize(p.headers.data(), static_cast<Py_ssize_t>(p.headers.size())));
    PyTuple_SET_ITEM(t, 11, content);
    PyTuple_SET_ITEM(t, 12, PyLong_FromLong(p.parent));
    for (Py_ssize_t i = 0; i < 13; ++i)
        if (!PyTuple_GET_ITEM(t, i))
            throw py::error_already_set();
    return res;
}

void fill(const std::vector<PendingCopy> &copies)
{
    size_t total = 0;
    for (const PendingCopy &c : copies)
        total += c.from->size();
    auto run = [&] {
        for (const PendingCopy &c : copies)
            std::memcpy(c.to, c.from->data(), c.from->size());
    };
    if (total >= (64u << 10)) {
        py::gil_scoped_release nogil;
        run();
    } else {
        run();
    }
}

// What the item iteration hands out for PART and PART_END.
struct PartInfo {
    PartRec rec;
    py::list headers() const
    {
        py::list out;
        const std::string &h = rec.headers;
        for (size_t at = 0; at < h.size();) {
            size_t n_end = h.find('\0', at);
            size_t v_end = h.find('\0', n_end + 1);
            out.append(py::make_tuple(utf8(h.substr(at, n_end - at)), utf8(h.substr(n_end + 1, v_end - n_end - 1))));
            at = v_end + 1;
        }
        return out;
    }
};

enum class Item { MESSAGE = 1, PART = 2, DATA = 3, PART_END = 4, MESSAGE_END = 5 };

class Reader {
  public:
    explicit Reader(bool mbox, bool text_utf8)
        : flags_((mbox ? ZTMIME_READER_MBOX : 0u) | (text_utf8 ? ZTMIME_READER_TEXT_UTF8 : 0u))
    {
        r_ = ztmime_reader_new(flags_);
        if (!r_)
            throw std::bad_alloc();
    }
    ~Reader() { ztmime_reader_destroy(r_); }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    bool mbox() const { return flags_ & ZTMIME_READER_MBOX; }
    bool text_utf8() const { return flags_ & ZTMIME_READER_TEXT_UTF8; }

    void feed(const py::buffer &data)
    {
        py::buffer_info bi = data.request();
        if (!PyBuffer_IsContiguous(bi.view(), 'C'))
            throw py::value_error("feed() takes a contiguous buffer");
        size_t len = static_cast<size_t>(bi.size * bi.itemsize);
        Busy busy(*this);
        if (finished_) {
            PyErr_SetString(g_error, "feed() after finish(): reset() the reader first");
            throw py::error_already_set();
        }
        int rc, err;
        {
            py::gil_scoped_release nogil;
            errno = 0;
            rc = ztmime_reader_feed(r_, bi.ptr, len);
            err = errno;
        }
        if (rc != 0)
            raise_reader_error(r_, err);
    }

    void finish()
    {
        Busy busy(*this);
        int rc, err;
        {
            py::gil_scoped_release nogil;
            errno = 0;
            rc = ztmime_reader_finish(r_);
            err = errno;
        }
        if (rc != 0)
            raise_reader_error(r_, err);
        finished_ = true;
    }

    void reset()
    {
        Busy busy(*this);
        {
            py::gil_scoped_release nogil;
            ztmime_reader_reset(r_);
        }
        open_.clear();
        parts_.clear();
        finished_ = false;
    }

    // Item by item: (Item, value) or StopIteration when the reader wants
    // more input (or, after finish(), has nothing left).
    py::object next_item()
    {
        Busy busy(*this);
        const void *data = nullptr;
        size_t len = 0;
        ztmime_item it;
        int err;
        PartInfo info;
        {
            py::gil_scoped_release nogil;
            errno = 0;
            it = ztmime_reader_next(r_, &data, &len);
            err = errno;
            if (it == ZTMIME_ITEM_PART || it == ZTMIME_ITEM_PART_END) {
                info.rec.take_info(ztmime_reader_part(r_));
                if (it == ZTMIME_ITEM_PART && !info.rec.take_headers(r_)) {
                    it = ZTMIME_ITEM_ERROR;
                    err = ENOMEM;
                }
            }
        }
        switch (it) {
        case ZTMIME_ITEM_ERROR:
            raise_reader_error(r_, err);
        case ZTMIME_ITEM_NONE:
            throw py::stop_iteration();
        case ZTMIME_ITEM_DATA:
            return py::make_tuple(Item::DATA, py::bytes(static_cast<const char *>(data), len));
        case ZTMIME_ITEM_PART:
        case ZTMIME_ITEM_PART_END:
            return py::make_tuple(static_cast<Item>(it), std::move(info));
        case ZTMIME_ITEM_MESSAGE:
        case ZTMIME_ITEM_MESSAGE_END:
            return py::make_tuple(static_cast<Item>(it), py::none());
        }
        throw py::stop_iteration();
    }

    // The messages complete in what was fed so far, as lists of part
    // tuples in tree order: at most max_messages of them, and no more once
    // max_bytes of content are gathered.  An empty list when more input is
    // needed (or nothing is left after finish()).  The pull loop and the
    // large copies run without the GIL.
    py::list read_messages(size_t max_messages, size_t max_bytes)
    {
        Busy busy(*this);
        std::vector<std::vector<PartRec>> done;
        bool failed = false;
        int err = 0;
        {
            py::gil_scoped_release nogil;
            size_t bytes = 0;
            while (done.size() < max_messages && bytes < max_bytes && pull_message(failed, err)) {
                for (const PartRec &p : parts_)
                    bytes += p.content.size() + p.headers.size();
                done.push_back(std::move(parts_));
                parts_.clear();
            }
        }
        if (failed) {
            open_.clear();
            parts_.clear();
            raise_reader_error(r_, err);
        }
        std::vector<PendingCopy> copies;
        py::list out(done.size());
        for (size_t m = 0; m < done.size(); ++m) {
            py::list parts(done[m].size());
            for (size_t i = 0; i < done[m].size(); ++i)
                parts[i] = part_tuple(done[m][i], copies);
            out[m] = std::move(parts);
        }
        fill(copies);
        return out;
    }

    py::object read_message()
    {
        py::list one = read_messages(1, SIZE_MAX);
        if (one.empty())
            return py::none();
        return one[0];
    }

  private:
    // Marks the Reader busy so that two threads never drive one C reader.
    struct Busy {
        Reader &r;
        explicit Busy(Reader &rd) : r(rd)
        {
            if (r.busy_.exchange(true))
                throw std::runtime_error("this Reader is in use by another thread");
        }
        ~Busy() { r.busy_.store(false); }
    };

    bool pull_message(bool &failed, int &err)
    {
        for (;;) {
            const void *data = nullptr;
            size_t len = 0;
            errno = 0;
            ztmime_item it = ztmime_reader_next(r_, &data, &len);
            switch (it) {
            case ZTMIME_ITEM_ERROR:
                failed = true;
                err = errno;
                return false;
            case ZTMIME_ITEM_NONE:
                return false;
            case ZTMIME_ITEM_MESSAGE:
                parts_.clear();
                open_.clear();
                break;
            case ZTMIME_ITEM_PART: {
                parts_.emplace_back();
                PartRec &p = parts_.back();
                p.parent = open_.empty() ? -1 : static_cast<long>(open_.back());
                p.take_info(ztmime_reader_part(r_));
                if (!p.take_headers(r_)) {
                    failed = true;
                    err = ENOMEM;
                    return false;
                }
                open_.push_back(parts_.size() - 1);
                break;
            }
            case ZTMIME_ITEM_DATA:
                if (!open_.empty())
                    parts_[open_.back()].content.append(static_cast<const char *>(data), len);
                break;
            case ZTMIME_ITEM_PART_END:
                if (!open_.empty()) {
                    const ztmime_part_info *pi = ztmime_reader_part(r_);
                    PartRec &p = parts_[open_.back()];
                    p.size = pi->size;
                    p.problems = pi->problems;
                    open_.pop_back();
                }
                break;
            case ZTMIME_ITEM_MESSAGE_END:
                        open_.clear();
                return true;
            }
        }
    }

    ztmime_reader *r_ = nullptr;
    uint32_t flags_;
    std::atomic<bool> busy_{false};
    bool finished_ = false;
    std::vector<PartRec> parts_; // the message being read
    std::vector<size_t> open_;   // indexes of the parts announced and not ended
};

} // namespace

PYBIND11_MODULE(_ztmime, m)
{
    m.doc() = "Streaming mail parsing: the reader of libztmime";

    g_error = PyErr_NewExceptionWithDoc("ztmime.Error", "An error reported by the mail library.", PyExc_Exception,
                                        nullptr);
    if (!g_error)
        throw py::error_already_set();
    m.add_object("Error", py::handle(g_error));

    py::enum_<Item>(m, "Item", "What one step of a Reader produced.")
        .value("MESSAGE", Item::MESSAGE)
        .value("PART", Item::PART)
        .value("DATA", Item::DATA)
        .value("PART_END", Item::PART_END)
        .value("MESSAGE_END", Item::MESSAGE_END);

    py::class_<PartInfo>(m, "PartInfo", "The facts of a part as the reader announced or ended it.")
        .def_property_readonly("path", [](const PartInfo &p) { return utf8(p.rec.path); })
        .def_property_readonly("depth", [](const PartInfo &p) { return p.rec.depth; })
        .def_property_readonly("content_type", [](const PartInfo &p) { return utf8(p.rec.content_type); })
        .def_property_readonly("charset", [](const PartInfo &p) { return utf8(p.rec.charset); })
        .def_property_readonly("disposition", [](const PartInfo &p) { return utf8(p.rec.disposition); })
        .def_property_readonly("filename", [](const PartInfo &p) { return utf8(p.rec.filename); })
        .def_property_readonly("encoding", [](const PartInfo &p) { return p.rec.encoding; })
        .def_property_readonly("container", [](const PartInfo &p) { return p.rec.container; })
        .def_property_readonly("size", [](const PartInfo &p) { return p.rec.size; })
        .def_property_readonly("problems", [](const PartInfo &p) { return p.rec.problems; })
        .def_property_readonly("headers", &PartInfo::headers)
        .def("__repr__", [](const PartInfo &p) {
            return "<PartInfo path='" + p.rec.path + "' " + p.rec.content_type + " size=" +
                   std::to_string(p.rec.size) + ">";
        });

    py::class_<Reader>(m, "Reader")
        .def(py::init<bool, bool>(), py::arg("mbox") = false, py::arg("text_utf8") = false)
        .def_property_readonly("mbox", &Reader::mbox)
        .def_property_readonly("text_utf8", &Reader::text_utf8)
        .def("feed", &Reader::feed, py::arg("data"), "Hand the reader more input (it is copied).")
        .def("finish", &Reader::finish, "Say that no more input will come.")
        .def("reset", &Reader::reset, "Forget everything: unrelated input comes next.")
        .def("read_message", &Reader::read_message,
             "The next complete message as a list of part tuples, or None when more input is needed.")
        .def("read_messages", &Reader::read_messages, py::arg("max_messages") = 256,
             py::arg("max_bytes") = size_t(4) << 20,
             "Up to max_messages complete messages (fewer once max_bytes of content are gathered), "
             "each a list of part tuples; [] when more input is needed.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Reader::next_item);

    m.attr("PROBLEM_DECODE") = ZTMIME_PROBLEM_DECODE;
    m.attr("PROBLEM_CHARSET") = ZTMIME_PROBLEM_CHARSET;
    m.attr("PROBLEM_TRUNCATED") = ZTMIME_PROBLEM_TRUNCATED;
    m.attr("PROBLEM_HEADER") = ZTMIME_PROBLEM_HEADER;
    m.attr("library_version") = py::str(ztmime_version());

#ifdef ZT_PY_ALLOC_SWITCH
    // Test builds only: fail the library's nth allocation from now on, and
    // count the views still alive.
    m.def("_alloc_fail_at", [](long nth) { return zt_alloc_fail_at(nth); });
    m.def("_live_views", [] { return ztview_live_count(nullptr); });
#endif
}
