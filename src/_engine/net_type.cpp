// The module's Net type: a policy-value net in the engine, made from the arrays tavrin_rl's policy
// loader has checked (tavrin_rl.nets.Policy), and shared by the VectorGames seats that play
// it. Its own methods evaluate positions and pick a placement; the work runs without the GIL.
#include "_engine/binding.h"

#include <memory>
#include <vector>

#include "_engine/game_args.h"
#include "game/moves.h"
#include "game/net/net.h"
#include "game/rules.h"
#include "game/state_bytes.h"

namespace tavrin::engine {
namespace {

using binding::arity;

NetObject* as_net(PyObject* self) noexcept { return reinterpret_cast<NetObject*>(self); }
const net::Net& net_ref(PyObject* self) noexcept { return **as_net(self)->net; }

// Net(channels, layers, hidden, arrays): `arrays` float32 buffers in net::array_sizes order.
PyObject* net_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"channels", "layers", "hidden", "arrays", nullptr};
    Py_ssize_t channels = 0, layers = 0, hidden = 0;
    PyObject* arrays_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nnnO:Net", const_cast<char**>(keywords), &channels, &layers,
                                     &hidden, &arrays_arg))
        return nullptr;
    using binding::in_range;
    if (!in_range("channels", channels, 1, net::MAX_CHANNELS) || !in_range("layers", layers, 1, net::MAX_LAYERS) ||
        !in_range("hidden", hidden, 1, net::MAX_HIDDEN))
        return nullptr;
    const net::Shape shape{static_cast<std::size_t>(channels), static_cast<std::size_t>(layers),
                           static_cast<std::size_t>(hidden)};
    const std::vector<std::size_t> sizes = net::array_sizes(shape);
    const PyRef items = PyRef::steal(PySequence_Fast(arrays_arg, "arrays must be a sequence of float32 arrays"));
    if (!items) return nullptr;
    if (PySequence_Fast_GET_SIZE(items.get()) != static_cast<Py_ssize_t>(sizes.size()))
        return PyErr_Format(PyExc_ValueError, "a net of %zd layers has %zu arrays, got %zd", layers, sizes.size(),
                            PySequence_Fast_GET_SIZE(items.get()));
    // The buffers are held until the net has copied them, so no other thread can free them; a
    // thread that writes into one meanwhile changes only weights, never a size.
    std::vector<Buffer> buffers(sizes.size());
    std::vector<std::span<const float>> views;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k));
        if (!buffers[k].get(item, "net array", sizes[k], sizeof(float), false)) return nullptr;
        views.push_back(buffers[k].as<const float>());
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_net(self.get())->net = new std::shared_ptr<const net::Net>(std::make_shared<const net::Net>(shape, views));
    return self.release();
}

void net_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(as_net(self)->net, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

// pick(state, stream, sample): the net's placement for the agent to move in 278 state bytes, the
// most likely, or with `sample` one drawn from the policy with one draw of the stream.
PyObject* net_pick(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("pick()", nargs, 3, 3)) return nullptr;
    Buffer state;
    if (!state.get(args[0])) return nullptr;
    const std::optional<Game> game = game_of(state);
    if (!game) return nullptr;
    std::optional<Stream> stream = stream_of(args[1]);
    if (!stream) return nullptr;
    const int sample = PyObject_IsTrue(args[2]);
    if (sample < 0) return nullptr;
    std::optional<std::uint32_t> g;
    const net::Net& net = net_ref(self);
    without_gil([&] {
        if (!is_over(*game)) g = thread_evaluator(net).pick(net, *game, sample ? &*stream : nullptr);
    });
    return move_and_stream(g, *stream);
}

// evaluate(boards, extras, segment, legal, values): logits (float32 bytes, one per legal entry)
// and, when `values`, each position's value (float32 bytes). boards: B x 12 x 400 uint8; extras:
// B x 88 float32; segment, legal: E int64 each (ascending positions, grid indexes).
PyObject* net_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("evaluate()", nargs, 5, 5)) return nullptr;
    Buffer boards_in, extras_in, segment_in, legal_in;
    if (!boards_in.get(args[0]) || !extras_in.get(args[1]) || !segment_in.get(args[2]) || !legal_in.get(args[3]))
        return nullptr;
    const int want_values = PyObject_IsTrue(args[4]);
    if (want_values < 0) return nullptr;
    constexpr std::size_t BOARD = net::BOARD_PLANES * net::CELLS;
    if (boards_in.size() % BOARD != 0)
        return PyErr_Format(PyExc_ValueError, "boards must be B x %zu bytes, got %zu", BOARD, boards_in.size());
    const std::size_t count = boards_in.size() / BOARD;
    if (extras_in.size() != count * net::EXTRAS * sizeof(float))
        return PyErr_Format(PyExc_ValueError, "extras must be %zu x %zu float32, got %zu bytes", count, net::EXTRAS,
                            extras_in.size());
    if (segment_in.size() != legal_in.size() || segment_in.size() % sizeof(std::int64_t) != 0)
        return PyErr_Format(PyExc_ValueError, "segment and legal must be int64 arrays of one length");
    // Copied, then checked: the engine reads exactly what was checked, whatever another thread
    // writes into the caller's arrays meanwhile.
    const std::size_t entries = legal_in.size() / sizeof(std::int64_t);
    std::vector<std::uint8_t> boards(boards_in.as<const std::uint8_t>().begin(), boards_in.as<const std::uint8_t>().end());
    std::vector<float> extras(count * net::EXTRAS);
    std::memcpy(extras.data(), extras_in.data(), extras_in.size());
    std::vector<std::int64_t> segment(entries), legal(entries);
    std::memcpy(segment.data(), segment_in.data(), segment_in.size());
    std::memcpy(legal.data(), legal_in.data(), legal_in.size());
    for (std::size_t e = 0; e < entries; ++e) {
        if (segment[e] < 0 || static_cast<std::size_t>(segment[e]) >= count || (e > 0 && segment[e] < segment[e - 1]))
            return PyErr_Format(PyExc_ValueError, "segment must hold ascending positions below %zu", count);
        if (legal[e] < 0 || static_cast<std::size_t>(legal[e]) >= GRID_SIZE)
            return PyErr_Format(PyExc_ValueError, "legal must hold grid indexes below %zu", GRID_SIZE);
    }
    std::vector<float> logits(entries), values(want_values ? count : 0);
    const net::Net& net = net_ref(self);
    without_gil([&] {
        net::Evaluator& ev = thread_evaluator(net);
        std::size_t e = 0;
        for (std::size_t b = 0; b < count; ++b) {
            const bool has_entries = e < entries && static_cast<std::size_t>(segment[e]) == b;
            if (!has_entries && !want_values) continue;
            ev.run(net, boards.data() + b * BOARD, extras.data() + b * net::EXTRAS);
            for (; e < entries && static_cast<std::size_t>(segment[e]) == b; ++e)
                logits[e] = ev.logit(net, static_cast<std::uint32_t>(legal[e]));
            if (want_values) values[b] = ev.value(net);
        }
    });
    const PyRef l = PyRef::steal(binding::bytes_of<float>(logits));
    if (!l) return nullptr;
    if (!want_values) return Py_NewRef(l.get());
    const PyRef v = PyRef::steal(binding::bytes_of<float>(values));
    if (!v) return nullptr;
    return PyTuple_Pack(2, l.get(), v.get());
}

// choose(board, extras, mask, stream, sample): `pick` from what an agent observes: its 12 board
// planes (4800 bytes), extras (88 float32) and action mask (36400 bytes); (grid index or None, the
// stream's next state).
PyObject* net_choose(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("choose()", nargs, 5, 5)) return nullptr;
    constexpr std::size_t BOARD = net::BOARD_PLANES * net::CELLS;
    std::vector<std::uint8_t> board(BOARD), mask(GRID_SIZE);
    std::vector<float> extras(net::EXTRAS);
    if (!binding::copy_in(args[0], "board", std::span(board)) ||
        !binding::copy_in(args[1], "extras", std::span(extras)) || !binding::copy_in(args[2], "mask", std::span(mask)))
        return nullptr;
    std::optional<Stream> stream = stream_of(args[3]);
    if (!stream) return nullptr;
    const int sample = PyObject_IsTrue(args[4]);
    if (sample < 0) return nullptr;
    std::optional<std::uint32_t> g;
    const net::Net& net = net_ref(self);
    without_gil([&] {
        std::vector<std::uint16_t> legal;
        for (std::size_t i = 0; i < GRID_SIZE; ++i)
            if (mask[i] != 0) legal.push_back(static_cast<std::uint16_t>(i));
        if (legal.empty()) return;
        net::Evaluator& ev = thread_evaluator(net);
        ev.run(net, board.data(), extras.data());
        g = ev.choose(net, legal, sample ? &*stream : nullptr);
    });
    return move_and_stream(g, *stream);
}

PyObject* net_kernel_name(PyObject*, PyObject*) { return PyUnicode_FromString(net::active_net_kernel().name); }

PyObject* net_get_shape(PyObject* self, void*) {
    const net::Shape& s = net_ref(self).shape();
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(s.channels), static_cast<Py_ssize_t>(s.layers),
                         static_cast<Py_ssize_t>(s.hidden));
}

PyMethodDef net_methods[] = {
    BINDING_METHOD(pick, net_pick, METH_FASTCALL, "$self, state, stream, sample, /",
                   "The net's placement for the agent to move in 278 state bytes: the most likely legal one, or with "
                   "sample one drawn from the policy with one draw of the stream state `stream`: (grid index or "
                   "None, the stream's next state)."),
    BINDING_METHOD(choose, net_choose, METH_FASTCALL, "$self, board, extras, mask, stream, sample, /",
                   "pick() from what an agent observes: 12 x 400 board plane bytes, 88 float32 extras and its "
                   "36400-byte action mask: (grid index or None, the stream's next state)."),
    BINDING_METHOD(evaluate, net_evaluate, METH_FASTCALL, "$self, boards, extras, segment, legal, values, /",
                   "Logits (float32 bytes) of grid indexes `legal` of positions `segment` (int64 each, ascending "
                   "positions) given B x 12 x 400 uint8 board planes and B x 88 float32 extras; with values, "
                   "(logits, values)."),
    BINDING_METHOD(kernel, net_kernel_name, METH_NOARGS, "$self, /",
                   "The name of the kernel nets run on (chosen on first use, as TAVRIN_KERNEL says)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef net_getset[] = {
    binding::property<Faults, net_get_shape>("shape", "(channels, layers, hidden)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot net_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<net_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(net_dealloc)},
    {Py_tp_methods, net_methods},
    {Py_tp_getset, net_getset},
    {Py_tp_doc, const_cast<char*>("Net(channels, layers, hidden, arrays)\n--\n\nA policy-value net in the engine, "
                                  "from the float32 arrays of a checked policy file; use "
                                  "tavrin_rl.nets.Policy.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec net_spec = {
    .name = "tavrin_rl._engine.Net",
    .basicsize = sizeof(NetObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = net_slots,
};

net::Evaluator& thread_evaluator(const net::Net& net) {
    thread_local net::Evaluator evaluator;
    evaluator.fit(net);
    return evaluator;
}

std::shared_ptr<const net::Net> net_of(PyTypeObject* net_type, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, net_type)) {
        PyErr_Format(PyExc_TypeError, "a net seat's net must be a tavrin_rl._engine.Net, got %s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return *as_net(obj)->net;
}

}  // namespace tavrin::engine
