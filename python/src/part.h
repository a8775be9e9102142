// The objects a message tree is made of, built by the extension in one go
// per batch: ztmime.Part and ztmime.Message are Python subclasses (adding
// only methods) of the PartBase type defined here.
#pragma once

#include <Python.h>

namespace ztpy {

// One part as the tree holds it.  Strings and bytes are made by the batch
// that builds the tree; `parts` is made when a child is added or somebody
// asks for it.  A child refers to its parent weakly and a message to its
// parts through `parts` (and `rest`), so that a tree holds no reference
// cycle and is freed as soon as the caller drops it.
struct PartObject {
    PyObject_HEAD
    PyObject *path;
    PyObject *content_type;
    PyObject *charset;
    PyObject *disposition;
    PyObject *filename;
    PyObject *content;  // bytes: the decoded body
    PyObject *raw;      // bytes: the raw header fields, packed (decoded on demand)
    PyObject *headers;  // what Python made of `raw`, kept once made
    PyObject *parts;    // list of children, or null while there are none
    PyObject *parent;   // weak reference, null at the top
    PyObject *rest;     // top-level message: tuple of every part below it in tree order
    PyObject *weakrefs;
    unsigned long long size;
    int depth;
    int encoding;
    unsigned int problems;
    char container;
    char utf8;
    char top;  // a top-level message (walk() goes through `rest`)
};

// Adds PartBase to the module.  False with a Python error set on failure.
bool add_part_type(PyObject *module);

// The Python classes that trees are made of, once the package registered
// them (set_classes): null before.
PyTypeObject *part_class();
PyTypeObject *message_class();

// A new, empty object of `cls` (a subclass of PartBase); null with a Python
// error set on failure.
PartObject *new_part(PyTypeObject *cls);

// Appends `child` to the children of `parent` and points it back at
// `parent`.  False with a Python error set on failure.
bool adopt(PartObject *parent, PartObject *child);

} // namespace ztpy
