// PartBase: the C layout under ztmime.Part and ztmime.Message.  Reading an
// attribute is a member access, and walk() over a top-level message is one
// small iterator over the parts the batch listed, so that a loop over a
// large mbox spends its time in the parser rather than in the tree.
#include "part.h"

#include <cstddef>
#include <initializer_list>
#include <structmember.h>

namespace ztpy {

namespace {

PyTypeObject *g_part_base = nullptr;
PyTypeObject *g_walk_type = nullptr;
PyTypeObject *g_part_class = nullptr;
PyTypeObject *g_message_class = nullptr;

PartObject *as_part(PyObject *o) { return reinterpret_cast<PartObject *>(o); }

int part_traverse(PyObject *self, visitproc visit, void *arg)
{
    PartObject *p = as_part(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(p->headers);
    Py_VISIT(p->parts);
    Py_VISIT(p->parent);
    Py_VISIT(p->rest);
    return 0;
}

int part_clear(PyObject *self)
{
    PartObject *p = as_part(self);
    Py_CLEAR(p->headers);
    Py_CLEAR(p->parts);
    Py_CLEAR(p->parent);
    Py_CLEAR(p->rest);
    return 0;
}

void part_dealloc(PyObject *self)
{
    PartObject *p = as_part(self);
    PyObject_GC_UnTrack(self);
    if (p->weakrefs)
        PyObject_ClearWeakRefs(self);
    part_clear(self);
    Py_CLEAR(p->path);
    Py_CLEAR(p->content_type);
    Py_CLEAR(p->charset);
    Py_CLEAR(p->disposition);
    Py_CLEAR(p->filename);
    Py_CLEAR(p->content);
    Py_CLEAR(p->raw);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_parts(PyObject *self, void *)
{
    PartObject *p = as_part(self);
    if (!p->parts && !(p->parts = PyList_New(0)))
        return nullptr;
    Py_INCREF(p->parts);
    return p->parts;
}

PyObject *get_parent(PyObject *self, void *)
{
    PartObject *p = as_part(self);
    PyObject *o = p->parent ? PyWeakref_GetObject(p->parent) : Py_None;
    if (!o)
        return nullptr;
    Py_INCREF(o);
    return o;
}

// walk() over a top-level message: the message, then `rest`.
struct WalkObject {
    PyObject_HEAD
    PyObject *first;
    PyObject *rest;  // tuple or null
    Py_ssize_t at;   // -1: `first` is next
};

void walk_dealloc(PyObject *self)
{
    WalkObject *w = reinterpret_cast<WalkObject *>(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(w->first);
    Py_CLEAR(w->rest);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

int walk_traverse(PyObject *self, visitproc visit, void *arg)
{
    WalkObject *w = reinterpret_cast<WalkObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->first);
    Py_VISIT(w->rest);
    return 0;
}

PyObject *walk_next(PyObject *self)
{
    WalkObject *w = reinterpret_cast<WalkObject *>(self);
    PyObject *o = nullptr;
    if (w->at < 0) {
        o = w->first;
        w->at = 0;
    } else if (w->rest && w->at < PyTuple_GET_SIZE(w->rest)) {
        o = PyTuple_GET_ITEM(w->rest, w->at++);
    }
    if (!o)
        return nullptr;  // exhausted: StopIteration without an exception set
    Py_INCREF(o);
    return o;
}

// The parts below `p` in tree order, appended to `out` after `p` itself.
bool collect(PyObject *p, PyObject *out)
{
    if (PyList_Append(out, p) != 0)
        return false;
    PyObject *parts = as_part(p)->parts;
    if (!parts)
        return true;
    if (Py_EnterRecursiveCall(" in walk()") != 0)
        return false;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(parts); ++i) {
        PyObject *c = PyList_GET_ITEM(parts, i);
        if (PyObject_TypeCheck(c, g_part_base)) {
            Py_INCREF(c);
            ok = collect(c, out);
            Py_DECREF(c);
        } else {
            ok = PyList_Append(out, c) == 0;
        }
    }
    Py_LeaveRecursiveCall();
    return ok;
}

PyObject *part_walk(PyObject *self, PyObject *)
{
    PartObject *p = as_part(self);
    if (!p->top) {
        // An embedded message or a part: through the children as they are now.
        PyObject *all = PyList_New(0);
        if (!all)
            return nullptr;
        PyObject *it = collect(self, all) ? PyObject_GetIter(all) : nullptr;
        Py_DECREF(all);
        return it;
    }
    WalkObject *w = PyObject_GC_New(WalkObject, g_walk_type);
    if (!w)
        return nullptr;
    Py_INCREF(self);
    w->first = self;
    Py_XINCREF(p->rest);
    w->rest = p->rest;
    w->at = -1;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

#define ZT_MEMBER(name, type, field, flags, doc) \
    {const_cast<char *>(name), type, offsetof(PartObject, field), flags, const_cast<char *>(doc)}

PyMemberDef part_members[] = {
    ZT_MEMBER("path", T_OBJECT, path, READONLY, "Position in the tree: \"\" for a message, then \"1\", \"1.2\", ..."),
    ZT_MEMBER("depth", T_INT, depth, READONLY, "0 for a top-level message"),
    ZT_MEMBER("content_type", T_OBJECT, content_type, READONLY, "type/subtype in lower case"),
    ZT_MEMBER("charset", T_OBJECT, charset, READONLY, "the charset parameter in lower case, or \"\""),
    ZT_MEMBER("disposition", T_OBJECT, disposition, READONLY, "\"inline\", \"attachment\" or \"\""),
    ZT_MEMBER("filename", T_OBJECT, filename, READONLY,
              "the name as the sender wrote it (never safe as a path), or \"\""),
    ZT_MEMBER("encoding", T_INT, encoding, READONLY, "the transfer encoding code, 0 when none"),
    ZT_MEMBER("is_container", T_BOOL, container, READONLY, "multipart/ and message/rfc822 parts"),
    ZT_MEMBER("size", T_ULONGLONG, size, READONLY, "decoded size in bytes"),
    ZT_MEMBER("content", T_OBJECT, content, READONLY, "the decoded body (b'' for containers)"),
    ZT_MEMBER("_problems", T_UINT, problems, READONLY, "the problem bits"),
    ZT_MEMBER("_raw", T_OBJECT, raw, READONLY, "the raw header fields, packed"),
    ZT_MEMBER("_headers", T_OBJECT, headers, 0, "the decoded header fields once made"),
    ZT_MEMBER("_utf8", T_BOOL, utf8, READONLY, "text was converted to UTF-8 by the reader"),
    ZT_MEMBER("__weaklistoffset__", T_PYSSIZET, weakrefs, READONLY, ""),
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef part_getset[] = {
    {const_cast<char *>("parts"), get_parts, nullptr, const_cast<char *>("the parts directly below, in order"),
     nullptr},
    {const_cast<char *>("parent"), get_parent, nullptr,
     const_cast<char *>("the part this one is in, None at the top (or once the tree is gone)"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef part_methods[] = {
    {"walk", part_walk, METH_NOARGS, "This part and every part below it, in tree order."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *set_classes(PyObject *, PyObject *args)
{
    PyObject *part = nullptr, *message = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:_set_classes", &PyType_Type, &part, &PyType_Type, &message))
        return nullptr;
    for (PyObject *c : {part, message}) {
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(c), g_part_base)) {
            PyErr_SetString(PyExc_TypeError, "_set_classes() takes subclasses of PartBase");
            return nullptr;
        }
    }
    Py_INCREF(part);
    Py_INCREF(message);
    Py_XSETREF(g_part_class, reinterpret_cast<PyTypeObject *>(part));
    Py_XSETREF(g_message_class, reinterpret_cast<PyTypeObject *>(message));
    Py_RETURN_NONE;
}

PyMethodDef set_classes_def = {"_set_classes", set_classes, METH_VARARGS,
                               "Registers the Part and Message classes that trees are built from."};

} // namespace

bool add_part_type(PyObject *module)
{
    // No tp_new: parts are made by the reader only.
    PyType_Slot part_slots[] = {
        {Py_tp_doc, const_cast<char *>("What ztmime.Part and ztmime.Message are built on.")},
        {Py_tp_dealloc, reinterpret_cast<void *>(part_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(part_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(part_clear)},
        {Py_tp_members, part_members},
        {Py_tp_getset, part_getset},
        {Py_tp_methods, part_methods},
        {0, nullptr},
    };
    PyType_Spec part_spec = {"ztmime._ztmime.PartBase", sizeof(PartObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, part_slots};
    PyType_Slot walk_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(walk_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(walk_traverse)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(walk_next)},
        {0, nullptr},
    };
    PyType_Spec walk_spec = {"ztmime._ztmime.WalkIterator", sizeof(WalkObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, walk_slots};
    g_part_base = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&part_spec));
    g_walk_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&walk_spec));
    if (!g_part_base || !g_walk_type)
        return false;
    // The module holds one reference to PartBase, this file the other.
    Py_INCREF(g_part_base);
    if (PyModule_AddObject(module, "PartBase", reinterpret_cast<PyObject *>(g_part_base)) != 0) {
        Py_DECREF(g_part_base);
        return false;
    }
    PyObject *f = PyCFunction_NewEx(&set_classes_def, nullptr, nullptr);
    if (!f || PyModule_AddObject(module, "_set_classes", f) != 0) {
        Py_XDECREF(f);
        return false;
    }
    return true;
}

PyTypeObject *part_class() { return g_part_class; }
PyTypeObject *message_class() { return g_message_class; }

PartObject *new_part(PyTypeObject *cls)
{
    return as_part(cls->tp_alloc(cls, 0));
}

bool adopt(PartObject *parent, PartObject *child)
{
    if (!parent->parts && !(parent->parts = PyList_New(0)))
        return false;
    PyObject *ref = PyWeakref_NewRef(reinterpret_cast<PyObject *>(parent), nullptr);
    if (!ref)
        return false;
    Py_XSETREF(child->parent, ref);
    return PyList_Append(parent->parts, reinterpret_cast<PyObject *>(child)) == 0;
}

} // namespace ztpy
