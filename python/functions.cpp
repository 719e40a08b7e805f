// functions.cpp: the module's constructor functions (tb, leaf, sym, quote, ...,
// from_postcard_bytes).
#include "functions.hpp"

#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "classes.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "kterm/builder.hpp"
#include "kterm/construct.hpp"
#include "kterm/postcard.hpp"
#include "signal_poll.hpp"

namespace kovel::py {
namespace {

constexpr Sig<1> tb_sig{nullptr, "tb", {"tag"}};
constexpr Sig<2> leaf_sig{nullptr, "leaf", {"tag", "code"}};
constexpr Sig<1> sym_sig{nullptr, "sym", {"s"}};
constexpr Sig<5> quote_sig{nullptr, "quote", {"tag", "index", "lang", "term", "cmds"}};
constexpr Sig<5> unquote_sig{nullptr, "unquote", {"tag", "index", "lang", "term", "cmds"}};
constexpr Sig<1> cmd_sig{nullptr, "cmd", {"c"}};
constexpr Sig<1> write_sig{nullptr, "write", {"s"}};
constexpr Sig<1> push_sig{nullptr, "push", {"s"}};
constexpr Sig<1> name_sig{nullptr, "name", {"s"}};
constexpr Sig<1> from_postcard_bytes_sig{nullptr, "from_postcard_bytes", {"data"}};

PyObject* kovel_tb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(tb_sig, args, nargs, kwnames);
    return new_builder(tb(a.get(0, to_text))).release();
  });
}

PyObject* kovel_leaf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<2> a(leaf_sig, args, nargs, kwnames);
    std::string_view tag = a.get(0, to_text);
    std::string_view code = a.get(1, to_text);
    return new_kterm(leaf(tag, code)).release();
  });
}

PyObject* kovel_sym(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(sym_sig, args, nargs, kwnames);
    return new_kterm(sym(a.get(0, to_text))).release();
  });
}

/// quote and unquote: the same parameters, converted in order, then one core constructor.
template <class Make>
PyObject* quote_like(const Sig<5>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Make make) {
  return guard([&] {
    Args<5> a(sig, args, nargs, kwnames);
    std::string_view tag = a.get(0, to_text);
    uint8_t index = a.get(1, to_index8);
    std::string_view lang = a.get(2, to_text);
    const KTermRef& term = a.get(3, as_kterm);
    std::vector<CmdOrHole> cmds = a.get(4, to_cmd_list);
    return new_kterm(make(tag, index, lang, KTermRef(term), cmds)).release();
  });
}

PyObject* kovel_quote(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quote_like(quote_sig, args, nargs, kwnames, kovel::quote);
}

PyObject* kovel_unquote(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quote_like(unquote_sig, args, nargs, kwnames, kovel::unquote);
}

PyObject* kovel_cmd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(cmd_sig, args, nargs, kwnames);
    return new_cmd_or_hole(CmdOrHole(a.get(0, as_str_cmd))).release();
  });
}

PyObject* kovel_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(write_sig, args, nargs, kwnames);
    return new_str_cmd(write(a.get(0, to_text))).release();
  });
}

PyObject* kovel_push(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(push_sig, args, nargs, kwnames);
    return new_str_cmd(push(a.get(0, to_text))).release();
  });
}

PyObject* kovel_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args<1> a(name_sig, args, nargs, kwnames);
    return new_kterm(identifier(a.get(0, to_text))).release();
  });
}

PyObject* kovel_from_postcard_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard([&] {
    Args<1> a(from_postcard_bytes_sig, args, nargs, kwnames);
    Decoded d = from_postcard_bytes(a.get(0, to_bytes), check_signals);
    if (!d.ok()) fail(PyExc_ValueError, std::string(d.message()));
    return new_kterm(std::move(d.term)).release();
  });
}

constexpr char tb_doc[] = "tb(tag)\n--\n\nStart building a tuple node with the given tag.";
constexpr char cmd_doc[] = "cmd(c)\n--\n\nWrap a `StrCmd` as a `CmdOrHole`.";
constexpr char sym_doc[] = "sym(s)\n--\n\nA symbol: a leaf whose tag and code are the same.";
constexpr char leaf_doc[] =
    "leaf(tag, code)\n--\n\nA leaf node: a tag whose only content is `code`.";
constexpr char name_doc[] = "name(s)\n--\n\nAn identifier term (the `\u27e8N\u27e9` operator).";
constexpr char push_doc[] = "push(s)\n--\n\nA `Push` command.";
constexpr char write_doc[] = "write(s)\n--\n\nA `Write` command.";
constexpr char quote_doc[] = "quote(tag, index, lang, term, cmds)\n--\n\nA quoted fragment.";
constexpr char unquote_doc[] = "unquote(tag, index, lang, term, cmds)\n--\n\nAn unquoted splice.";
constexpr char from_postcard_bytes_doc[] =
    "from_postcard_bytes(data)\n--\n\n"
    "Deserialize a `KTerm` from postcard bytes (the `rs\u2193` protocol in Python).";

constexpr int keywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef tb_def = {"tb", method_fn(kovel_tb), keywords, tb_doc};
PyMethodDef leaf_def = {"leaf", method_fn(kovel_leaf), keywords, leaf_doc};
PyMethodDef sym_def = {"sym", method_fn(kovel_sym), keywords, sym_doc};
PyMethodDef quote_def = {"quote", method_fn(kovel_quote), keywords, quote_doc};
PyMethodDef unquote_def = {"unquote", method_fn(kovel_unquote), keywords, unquote_doc};
PyMethodDef cmd_def = {"cmd", method_fn(kovel_cmd), keywords, cmd_doc};
PyMethodDef write_def = {"write", method_fn(kovel_write), keywords, write_doc};
PyMethodDef push_def = {"push", method_fn(kovel_push), keywords, push_doc};
PyMethodDef name_def = {"name", method_fn(kovel_name), keywords, name_doc};
PyMethodDef from_postcard_bytes_def = {"from_postcard_bytes", method_fn(kovel_from_postcard_bytes),
                                       keywords, from_postcard_bytes_doc};

}  // namespace kovel::py
