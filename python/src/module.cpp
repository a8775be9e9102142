// The _ztmime extension: one Python Reader object per C reader, item by item
// or whole messages at a time.  Every call into the library runs with the
// GIL released, so Python threads that each own a Reader parse in parallel.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include "part.h"
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

PyObject *str_or_throw(const char *p, size_t n)
{
    PyObject *o = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "replace");
    if (!o)
        throw py::error_already_set();
    return o;
}

py::str utf8(const std::string &s)
{
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// Appends the fields of the part last announced as name NUL value NUL ...
// False when the reader could not decode them (out of memory): the end of
// the list and a failure both return -1, errno tells them apart.
bool pack_headers(const ztmime_reader *r, std::string &out)
{
    const char *name = nullptr, *value = nullptr;
    for (size_t i = 0;; ++i) {
        errno = 0;
        if (ztmime_reader_header_at(r, i, &name, &value) != 0)
            return errno != ENOMEM;
        out.append(name ? name : "").push_back('\0');
        out.append(value ? value : "").push_back('\0');
    }
}

// Appends the raw fields of the part last announced, each as its length
// (uint32_t, host order) and its bytes: decoding waits until somebody
// reads the headers (decode_fields).  False when out of memory.
bool pack_raw_fields(const ztmime_reader *r, std::string &out)
{
    const void *field = nullptr;
    size_t len = 0;
    for (size_t i = 0;; ++i) {
        errno = 0;
        if (ztmime_reader_field_at(r, i, &field, &len) != 0)
            return errno != ENOMEM;
        auto n = static_cast<uint32_t>(len); // a block holds at most 1 MiB
        out.append(reinterpret_cast<const char *>(&n), sizeof n);
        out.append(static_cast<const char *>(field), len);
    }
}

// The (name, value) pairs of fields packed by pack_raw_fields, decoded as
// the reader decodes header values.
py::list decode_fields(const py::bytes &packed)
{
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(packed.ptr(), &data, &size) != 0)
        throw py::error_already_set();
    py::list out;
    std::string buf;
    for (size_t at = 0, end = static_cast<size_t>(size); at + sizeof(uint32_t) <= end;) {
        uint32_t n;
        std::memcpy(&n, data + at, sizeof n);
        at += sizeof n;
        if (n > end - at)
            throw py::value_error("decode_fields() takes what the reader packed");
        size_t value_at = 0;
        if (buf.size() < 4 * size_t(n) + 64)
            buf.resize(4 * size_t(n) + 64); // room for what decoding usually makes of n bytes
        size_t need = ztmime_reader_decode_field(data + at, n, buf.data(), buf.size(), &value_at);
        if (need > buf.size()) {
            buf.resize(need);
            need = ztmime_reader_decode_field(data + at, n, buf.data(), buf.size(), &value_at);
        }
        if (need == 0) {
            PyErr_SetString(PyExc_MemoryError, "out of memory");
            throw py::error_already_set();
        }
        const char *name = buf.data(), *value = buf.data() + value_at;
        py::object pair = py::reinterpret_steal<py::object>(PyTuple_New(2));
        if (!pair)
            throw py::error_already_set();
        PyTuple_SET_ITEM(pair.ptr(), 0, str_or_throw(name, std::strlen(name)));
        PyTuple_SET_ITEM(pair.ptr(), 1, str_or_throw(value, std::strlen(value)));
        out.append(pair);
        at += n;
    }
    return out;
}

const char *or_empty(const char *s) { return s ? s : ""; }

// The facts of one part as the item iteration hands them out, copied out
// of the reader (its pointers live only until the next item).
struct PartRec {
    std::string path, content_type, charset, disposition, filename;
    int32_t depth = 0, encoding = 0;
    bool container = false;
    uint64_t size = 0;
    uint32_t problems = 0;
    std::string headers; // name NUL value NUL ...

    void take_info(const ztmime_part_info *pi)
    {
        path = or_empty(pi->path);
        content_type = or_empty(pi->content_type);
        charset = or_empty(pi->charset);
        disposition = or_empty(pi->disposition);
        filename = or_empty(pi->filename);
        depth = pi->depth;
        encoding = pi->encoding;
        container = pi->container != 0;
        size = pi->size;
        problems = pi->problems;
    }
};

// A run of bytes in one of a Reader's pools, by offset: the pools grow
// while a batch is gathered, so pointers would not last.
struct Span {
    size_t at = 0, n = 0;
};

// The facts of one part gathered for a whole-message batch.  Its texts and
// raw header fields (as pack_raw_fields packs them) sit in the Reader's
// text pool, its
// decoded content in the content pool, both reused from batch to batch.
struct PartSlot {
    Span path, content_type, charset, disposition, filename, headers, content;
    int32_t depth = 0, encoding = 0;
    bool container = false;
    uint64_t size = 0;
    uint32_t problems = 0;
    long parent = -1; // index of the enclosing part in the message, -1 for the top
};

// Content types, charsets and dispositions repeat from part to part: a few
// str objects made once per Reader stand for all of them.
class StrCache {
  public:
    PyObject *get(const char *p, size_t n)
    {
        for (Entry &e : entries_)
            if (e.text.size() == n && std::memcmp(e.text.data(), p, n) == 0)
                return py::object(e.str).release().ptr();
        py::object o = py::reinterpret_steal<py::object>(str_or_throw(p, n));
        if (entries_.size() < kMax)
            entries_.push_back({std::string(p, n), o});
        return o.release().ptr();
    }

  private:
    static constexpr size_t kMax = 32;
    struct Entry {
        std::string text;
        py::object str;
    };
    std::vector<Entry> entries_;
};

// A content bytes object made under the GIL and filled later without it;
// nothing else can see the object before the batch is handed out.
struct PendingCopy {
    char *to;
    size_t from, n;
};

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
        drop_message();
        unfed_ = 0;
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
                if (it == ZTMIME_ITEM_PART && !pack_headers(r_, info.rec.headers)) {
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

    // The messages complete in what was fed so far, as Message trees: at
    // most max_messages of them, and no more once
    // max_bytes of content are gathered (but always one when one is
    // complete).  An empty list when more input is needed (or nothing is
    // left after finish()).  The pull loop and the copies of content into
    // its bytes objects run without the GIL.
    py::list read_messages(size_t max_messages, size_t max_bytes)
    {
        Busy busy(*this);
        Batch batch(max_messages, max_bytes);
        begin_batch();
        try {
            py::gil_scoped_release nogil;
            gather(batch);
        } catch (...) {
            drop_message();
            throw;
        }
        return finish_batch(batch);
    }

    // The same, reading the file open at fd in pieces of `chunk` bytes as
    // far as it takes to fill the batch: reading, feeding and parsing run
    // in one stretch without the GIL, which threads that each read a file
    // then seldom wait for.  At the end of the file the reader is
    // finished; [] means every message was handed out.
    py::list read_file(int fd, size_t chunk, size_t max_messages, size_t max_bytes)
    {
        Busy busy(*this);
        Batch batch(max_messages, max_bytes);
        begin_batch();
        chunk = std::max<size_t>(chunk, 1);
        for (;;) {
            try {
                py::gil_scoped_release nogil;
                if (piece_.size() < chunk)
                    piece_.resize(chunk); // keeps a piece not yet fed
                while (!gather(batch) && !batch.failed && !finished_) {
                    if (!unfed_) {
                        ssize_t n = ::read(fd, piece_.data(), chunk);
                        if (n < 0) {
                            batch.os_error = errno;
                            break;
                        }
                        unfed_ = static_cast<size_t>(n);
                    }
                    errno = 0;
                    int rc = unfed_ ? ztmime_reader_feed(r_, piece_.data(), unfed_) : ztmime_reader_finish(r_);
                    if (rc != 0) {
                        // The piece is fed again on the next call, should
                        // the reader go on.
                        batch.failed = true;
                        batch.err = errno;
                        break;
                    }
                    finished_ = !unfed_;
                    unfed_ = 0;
                }
            } catch (...) {
                drop_message();
                throw;
            }
            // A signal arrived during read(): let Python handle it, then read on.
            if (batch.os_error == EINTR) {
                if (PyErr_CheckSignals() != 0)
                    throw py::error_already_set();
                batch.os_error = 0;
                continue;
            }
            break;
        }
        // Messages complete before a failed read are handed out first; the
        // next call reads again and reports the error then.
        if (batch.os_error && batch.ends.empty()) {
            errno = batch.os_error;
            PyErr_SetFromErrno(PyExc_OSError);
            throw py::error_already_set();
        }
        return finish_batch(batch);
    }

    py::object read_message()
    {
        py::list one = read_messages(1, SIZE_MAX);
        if (one.empty())
            return py::none();
        return one[0];
    }

  private:
    // One call's batch: its limits, the messages complete so far (one past
    // each one's last slot) and what stopped it.
    struct Batch {
        Batch(size_t messages, size_t bytes) : max_messages(messages), max_bytes(bytes) {}
        size_t max_messages, max_bytes;
        std::vector<size_t> ends;
        bool failed = false;
        int err = 0;
        int os_error = 0;
    };

    void begin_batch()
    {
        compact();
        gathered_ = 0;
    }

    // Pulls messages into the pools.  True when the batch is full (at least
    // one message, whatever the limits); false when more input is needed
    // or the reader failed.
    bool gather(Batch &b)
    {
        for (;;) {
            if (!b.ends.empty() && (b.ends.size() >= b.max_messages || gathered_ >= b.max_bytes))
                return true;
            if (!pull_message(b.failed, b.err))
                return false;
            b.ends.push_back(slots_.size());
        }
    }

    // The batch's messages as trees.  A message still incomplete stays in
    // the pools for the next call.
    py::list finish_batch(const Batch &b)
    {
        if (b.failed) {
            drop_message();
            raise_reader_error(r_, b.err);
        }
        PyTypeObject *part_cls = ztpy::part_class(), *message_cls = ztpy::message_class();
        if (!part_cls || !message_cls) {
            drop_message();
            throw std::runtime_error("ztmime's Part and Message classes are not registered");
        }
        std::vector<PendingCopy> copies;
        size_t total = 0;
        py::list out(b.ends.size());
        size_t first = 0;
        for (size_t m = 0; m < b.ends.size(); ++m) {
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(m),
                            build_message(first, b.ends[m], part_cls, message_cls, copies, total));
            first = b.ends[m];
        }
        fill(copies, total);
        return out;
    }

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

    // Drops the messages handed out by the last batch from the pools.  A
    // message still incomplete moves to the front, but only once the space
    // before it is at least its size, so that a large message fed in many
    // pieces is not moved again and again.  Pools grown by one very large
    // message are given back once they are empty.
    void compact()
    {
        size_t text_at = msg_first_ < slots_.size() ? slots_[msg_first_].path.at : text_.size();
        size_t content_at = content_.size();
        for (size_t i = msg_first_; i < slots_.size(); ++i)
            if (slots_[i].content.n)
                content_at = std::min(content_at, slots_[i].content.at);
        if (msg_first_ == slots_.size()) {
            drop_message();
            return;
        }
        if (text_at < text_.size() - text_at && content_at < content_.size() - content_at)
            return;
        text_.erase(0, text_at);
        content_.erase(0, content_at);
        slots_.erase(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(msg_first_));
        for (size_t &i : open_)
            i -= msg_first_;
        for (size_t i = 0; i < slots_.size(); ++i) {
            PartSlot &p = slots_[i];
            for (Span *sp : {&p.path, &p.content_type, &p.charset, &p.disposition, &p.filename, &p.headers})
                sp->at -= text_at;
            if (p.content.n)
                p.content.at -= content_at;
        }
        msg_first_ = 0;
    }

    // Empties the pools: nothing gathered is kept.
    void drop_message()
    {
        slots_.clear();
        open_.clear();
        msg_first_ = 0;
        for (std::string *pool : {&text_, &content_}) {
            if (pool->capacity() > kKeepPool)
                std::string().swap(*pool);
            pool->clear();
        }
    }

    Span put_text(const char *s)
    {
        Span sp{text_.size(), s ? std::strlen(s) : 0};
        text_.append(s ? s : "", sp.n);
        return sp;
    }

    void take_info(PartSlot &p, const ztmime_part_info *pi)
    {
        p.path = put_text(pi->path);
        p.content_type = put_text(pi->content_type);
        p.charset = put_text(pi->charset);
        p.disposition = put_text(pi->disposition);
        p.filename = put_text(pi->filename);
        p.depth = pi->depth;
        p.encoding = pi->encoding;
        p.container = pi->container != 0;
        p.size = pi->size;
        p.problems = pi->problems;
    }

    // Appends DATA to the part's content.  A part's DATA comes between its
    // PART and PART_END with no other part's in between, so its content is
    // one run at the end of the pool.
    void add_content(PartSlot &p, const void *data, size_t len)
    {
        gathered_ += len;
        if (p.content.n == 0) {
            p.content.at = content_.size();
        } else if (p.content.at + p.content.n != content_.size()) {
            // Defensive: keep the run whole should DATA ever interleave.
            size_t at = content_.size();
            content_.append(content_, p.content.at, p.content.n);
            p.content.at = at;
        }
        content_.append(static_cast<const char *>(data), len);
        p.content.n += len;
    }

    // Reads items up to the end of one message into the pools.  False when
    // more input is needed (the message read so far stays) or on failure.
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
                open_.clear();
                msg_first_ = slots_.size();
                break;
            case ZTMIME_ITEM_PART: {
                slots_.emplace_back();
                PartSlot &p = slots_.back();
                p.parent = open_.empty() ? -1 : static_cast<long>(open_.back() - msg_first_);
                take_info(p, ztmime_reader_part(r_));
                p.headers.at = text_.size();
                if (!pack_raw_fields(r_, text_)) {
                    failed = true;
                    err = ENOMEM;
                    return false;
                }
                p.headers.n = text_.size() - p.headers.at;
                open_.push_back(slots_.size() - 1);
                break;
            }
            case ZTMIME_ITEM_DATA:
                if (!open_.empty())
                    add_content(slots_[open_.back()], data, len);
                break;
            case ZTMIME_ITEM_PART_END:
                if (!open_.empty()) {
                    const ztmime_part_info *pi = ztmime_reader_part(r_);
                    PartSlot &p = slots_[open_.back()];
                    p.size = pi->size;
                    p.problems = pi->problems;
                    open_.pop_back();
                }
                break;
            case ZTMIME_ITEM_MESSAGE_END:
                open_.clear();
                msg_first_ = slots_.size();
                return true;
            }
        }
    }

    PyObject *text_str(const Span &s) const { return str_or_throw(text_.data() + s.at, s.n); }
    PyObject *cached_str(const Span &s) { return strs_.get(text_.data() + s.at, s.n); }
    bool is_message(const Span &type) const
    {
        return type.n == 14 && std::memcmp(text_.data() + type.at, "message/rfc822", 14) == 0;
    }

    // Fills a new part object from slot i.  Its content's bytes object is
    // made here and filled by fill(), once the whole batch is built.
    void set_part(ztpy::PartObject *o, size_t i, std::vector<PendingCopy> &copies, size_t &total)
    {
        const PartSlot &p = slots_[i];
        o->size = p.size;
        o->depth = p.depth;
        o->encoding = p.encoding;
        o->problems = p.problems;
        o->container = p.container;
        o->utf8 = text_utf8();
        if (!(o->content = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(p.content.n))) ||
            !(o->raw = PyBytes_FromStringAndSize(text_.data() + p.headers.at, static_cast<Py_ssize_t>(p.headers.n))))
            throw py::error_already_set();
        if (p.content.n) {
            copies.push_back({PyBytes_AS_STRING(o->content), p.content.at, p.content.n});
            total += p.content.n;
        }
        o->path = p.path.n ? text_str(p.path) : cached_str(p.path);
        o->content_type = cached_str(p.content_type);
        o->charset = cached_str(p.charset);
        o->disposition = cached_str(p.disposition);
        o->filename = p.filename.n ? text_str(p.filename) : cached_str(p.filename);
    }

    // The message whose parts are slots [first, end), as a tree: a Message
    // on top, and below it a Message for each part inside a message/rfc822
    // part and a Part for every other.
    PyObject *build_message(size_t first, size_t end, PyTypeObject *part_cls, PyTypeObject *message_cls,
                            std::vector<PendingCopy> &copies, size_t &total)
    {
        auto make = [](PyTypeObject *cls) {
            ztpy::PartObject *o = ztpy::new_part(cls);
            if (!o)
                throw py::error_already_set();
            return o;
        };
        py::object root = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(make(message_cls)));
        auto *top = reinterpret_cast<ztpy::PartObject *>(root.ptr());
        top->top = 1;
        if (first == end) {
            set_empty(top);
            return root.release().ptr();
        }
        set_part(top, first, copies, total);
        if (end - first == 1)
            return root.release().ptr();
        // Every part below the top in tree order, owned by this tuple (and
        // by its parent's list once adopted).
        py::tuple rest(end - first - 1);
        for (size_t i = first + 1; i < end; ++i) {
            const PartSlot &p = slots_[i];
            const size_t up = p.parent >= 0 && static_cast<size_t>(p.parent) < i - first ? static_cast<size_t>(p.parent) : 0;
            PyObject *parent = up ? PyTuple_GET_ITEM(rest.ptr(), static_cast<Py_ssize_t>(up - 1)) : root.ptr();
            ztpy::PartObject *o = make(is_message(slots_[first + up].content_type) ? message_cls : part_cls);
            PyTuple_SET_ITEM(rest.ptr(), static_cast<Py_ssize_t>(i - first - 1), reinterpret_cast<PyObject *>(o));
            set_part(o, i, copies, total);
            if (!ztpy::adopt(reinterpret_cast<ztpy::PartObject *>(parent), o))
                throw py::error_already_set();
        }
        top->rest = rest.release().ptr();
        return root.release().ptr();
    }

    // A message without any part (what an empty input would give).
    void set_empty(ztpy::PartObject *o)
    {
        o->utf8 = text_utf8();
        if (!(o->content = PyBytes_FromStringAndSize(nullptr, 0)) || !(o->raw = PyBytes_FromStringAndSize(nullptr, 0)))
            throw py::error_already_set();
        o->path = strs_.get("", 0);
        o->content_type = strs_.get("text/plain", 10);
        o->charset = strs_.get("", 0);
        o->disposition = strs_.get("", 0);
        o->filename = strs_.get("", 0);
    }

    // Copies the batch's content into its bytes objects, without the GIL
    // when there is enough of it to matter.
    void fill(const std::vector<PendingCopy> &copies, size_t total) const
    {
        auto run = [&] {
            for (const PendingCopy &c : copies)
                std::memcpy(c.to, content_.data() + c.from, c.n);
        };
        if (total >= kReleaseFor) {
            py::gil_scoped_release nogil;
            run();
        } else {
            run();
        }
    }

    static constexpr size_t kKeepPool = size_t(16) << 20;
    static constexpr size_t kReleaseFor = size_t(64) << 10;

    ztmime_reader *r_ = nullptr;
    uint32_t flags_;
    std::atomic<bool> busy_{false};
    bool finished_ = false;
    std::vector<PartSlot> slots_; // the parts of the batch, message after message
    size_t msg_first_ = 0;        // index in slots_ of the message being read, size() between messages
    std::vector<size_t> open_;    // indexes of the parts announced and not ended
    std::string text_;            // texts and header blocks of slots_
    std::string content_;         // decoded content of slots_
    size_t gathered_ = 0;         // content bytes added in this call
    std::vector<char> piece_;     // what read_file() reads into
    size_t unfed_ = 0;            // bytes of piece_ read but not yet fed
    StrCache strs_;
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
             "The next complete message as a Message, or None when more input is needed.")
        .def("read_messages", &Reader::read_messages, py::arg("max_messages") = 256,
             py::arg("max_bytes") = size_t(256) << 10,
             "Up to max_messages complete messages (fewer once max_bytes of content are gathered), "
             "as Messages; [] when more input is needed.")
        .def("read_file", &Reader::read_file, py::arg("fd"), py::arg("chunk_size") = size_t(1) << 20,
             py::arg("max_messages") = 256, py::arg("max_bytes") = size_t(256) << 10,
             "As read_messages(), reading the file open at fd (in pieces of chunk_size bytes) as far as it "
             "takes; finishes the reader at the end of the file; [] once every message was handed out.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Reader::next_item);

    if (!ztpy::add_part_type(m.ptr()))
        throw py::error_already_set();

    m.def("decode_fields", &decode_fields, py::arg("packed"),
          "The (name, value) pairs of the packed raw header fields of a part, values decoded to str.");

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
