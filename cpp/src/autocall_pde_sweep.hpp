// One time step of the autocallable finite-difference solver for many systems side by side.
#pragma once

#include <cstddef>

namespace velmora::autocall_pde::sweep {

// The systems of one step, [node][system] (`systems` per node, `nodes` nodes): the values,
// a work row, the factorised implicit matrix (sub-diagonal, modified super-diagonal and
// inverse pivots, rows 1 .. nodes-2), the explicit part (unused for an implicit step) and
// the boundary extrapolation factors e^-h and e^h.  `sub` holds the sub-diagonal divided by
// the pivot of its row.  The explicit part is one triple per system, or with
// `explicit_per_node` one per node and system, [node][system] like the values.
struct Step {
    std::size_t nodes, systems;
    bool explicit_part;
    bool explicit_per_node;
    double* v;
    double* work;
    const double* sub;
    const double* cp;
    const double* inv;
    const double* e_lo;
    const double* e_di;
    const double* e_up;
    double ext_lo, ext_hi;
};

// (I - theta dt L) v_new = (I + (1 - theta) dt L) v_old for every system: the explicit part
// and the forward elimination in one pass, then back substitution and the boundary nodes.
void step(const Step& s);

// Two implicit steps (no explicit part) of the same shape on different values, side by side:
// their eliminations run in one pass over the nodes, so that each fills the other's wait on
// its previous row.  The same arithmetic as step(a) and step(b); the work rows must differ.
void implicit_pair(const Step& a, const Step& b);

} // namespace velmora::autocall_pde::sweep
