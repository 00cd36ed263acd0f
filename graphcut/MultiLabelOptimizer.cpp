#include "graphcut/MultiLabelOptimizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "graphcut/FlowGraph.h"
#include "core/Log.h"
#include "core/Parallel.h"

namespace veltrix {

namespace {

// Which entry of a pairwise term is the configuration the two variables have now.
enum CurrentEntry { kCurrent00, kCurrent01, kCurrent10, kCurrent11 };

// A pairwise term E00 + E11 > E01 + E10 would give the max-flow graph a negative capacity. Raise
// the off-diagonal entries that are not the current configuration until the term is regular: the
// move's energy then bounds the true energy from above and agrees with it at the current labels,
// so its minimum never raises the true energy. The test is the one the graph builder applies.
bool makeRegular(float e00, float& e01, float& e10, float e11, CurrentEntry current) {
    float sum = (e01 - e00) + (e10 - e11);
    if (!(sum < 0)) return false;
    float excess = -sum;
    float* first = nullptr;
    float* second = nullptr;
    if (current == kCurrent01) {
        first = &e10;
    } else if (current == kCurrent10) {
        first = &e01;
    } else {
        first = &e01;
        second = &e10;
    }
    if (second) {
        *first += 0.5f * excess;
        *second += 0.5f * excess;
    } else {
        *first += excess;
    }
    // Rounding may leave a few units in the last place; push the raised entry up until it holds.
    float* bump = second ? second : first;
    while ((e01 - e00) + (e10 - e11) < 0) {
        float deficit = -((e01 - e00) + (e10 - e11));
        *bump = std::nextafter(*bump + deficit, std::numeric_limits<float>::infinity());
    }
    return true;
}

}  // namespace

MultiLabelOptimizer::MultiLabelOptimizer(int sites, int labels) : numLabels(labels), numSites(sites) {
    try {
        labeling.assign(sites > 0 ? sites : 0, 0);
        siteToVariable.assign(sites > 0 ? sites : 0, -1);
        labelOrder.resize(labels > 0 ? labels : 0);
    } catch (const std::bad_alloc&) {
        throw OptimizerException{"Not enough memory"};
    }
    for (int k = 0; k < labels; ++k) labelOrder[k] = k;
}

MultiLabelOptimizer::~MultiLabelOptimizer() {
    delete dataTerm_;
    delete smoothTerm_;
}

void MultiLabelOptimizer::setDataCostFunction(DataCostFn fn, void* user) {
    if (dataTerm_) throw OptimizerException{"Data Costs are already initialized"};
    dataTerm_ = new DataTerm{fn, user};
}

void MultiLabelOptimizer::setSmoothCostFunction(SmoothCostFn fn, void* user) {
    if (smoothTerm_) throw OptimizerException{"Smoothness Costs are already initialized"};
    smoothTerm_ = new SmoothTerm{fn, user};
}

bool MultiLabelOptimizer::checkReady() {
    if (!smoothTerm_) throw OptimizerException{"Smoothness term is not set up yet!"};
    if (!dataTerm_) throw OptimizerException{"Data term is not set up yet!"};
    return true;
}

// Sums are kept in double so that cycle and move comparisons are exact enough to be trusted at
// any energy magnitude.
double MultiLabelOptimizer::exactEnergy() {
    if (inCycles_) return termCachedEnergy();
    double data = 0;
    for (int s = 0; s < numSites; ++s) data += dataTerm_->fn(s, labeling[s], dataTerm_->user);
    double smooth = 0;
    for (int s = 0; s < numSites; ++s)
        forLowerNeighbours(s, [&](int, int n, float w) {
            smooth += w * smoothTerm_->fn(s, n, labeling[s], labeling[n], smoothTerm_->user);
        });
    return data + smooth + labelCostEnergy();
}

bool MultiLabelOptimizer::hasLabelCosts() const {
    return std::any_of(labelCosts_.begin(), labelCosts_.end(), [](float h) { return h > 0; });
}

double MultiLabelOptimizer::labelCostEnergy() const {
    if (!hasLabelCosts()) return 0;
    std::vector<char> used(labelCosts_.size(), 0);
    for (int l : labeling)
        if (l >= 0 && size_t(l) < used.size()) used[size_t(l)] = 1;
    double sum = 0;
    for (size_t l = 0; l < used.size(); ++l)
        if (used[l]) sum += labelCosts_[l];
    return sum;
}

// In the move's graph a site on the source side takes alpha, on the sink side keeps its label.
// A label l that sites keep: node y pays h_l on the sink side, and each site of l on the sink side
// with y on the source side pays h_l too, so the cut pays h_l exactly once if any of them keeps l.
// Alpha, unused so far: node z pays h on the source side, and a site on the source side with z on
// the sink side pays h, so the cut pays h once if any site takes alpha.
void MultiLabelOptimizer::addLabelCostNodes(FlowGraph& g, int alpha, const std::vector<int>& sites,
                                            const std::vector<FlowNode*>& nodes) {
    auto cost = [&](int l) { return l >= 0 && size_t(l) < labelCosts_.size() ? labelCosts_[size_t(l)] : 0.0f; };
    std::vector<FlowNode*> keepNode(size_t(numLabels > 0 ? numLabels : 0), nullptr);
    for (size_t i = 0; i < sites.size(); ++i) {
        const int l = labeling[size_t(sites[i])];
        const float h = cost(l);
        if (!(h > 0)) continue;
        if (!keepNode[size_t(l)]) {
            keepNode[size_t(l)] = g.addNode();
            g.addTerminalCaps(keepNode[size_t(l)], h, 0);
        }
        g.addPairTerm(nodes[i], keepNode[size_t(l)], 0, 0, h, 0);
    }
    const float h = cost(alpha);
    if (h > 0 && sites.size() == size_t(numSites)) {
        FlowNode* z = g.addNode();
        g.addTerminalCaps(z, 0, h);
        for (FlowNode* x : nodes) g.addPairTerm(x, z, 0, h, 0, 0);
    }
}

double MultiLabelOptimizer::termCachedEnergy() {
    const bool fresh = termLabels_.size() != static_cast<size_t>(numSites);
    if (fresh) {
        termOffset_.assign(static_cast<size_t>(numSites) + 1, 0);
        for (int s = 0; s < numSites; ++s) {
            int count;
            const int* idx;
            const float* w;
            neighbourInfo(s, &count, &idx, &w);
            termOffset_[s + 1] = termOffset_[s] + count;
        }
        dataTerms_.assign(numSites, 0.0f);
        pairTerms_.assign(static_cast<size_t>(termOffset_[numSites]), 0.0f);
        termStale_.assign(numSites, 1);
    } else {
        for (int s = 0; s < numSites; ++s) termStale_[s] = labeling[s] != termLabels_[s];
    }
    // The stale terms are evaluated by the worker threads; the sums run in site order as before.
    parallelFor(numSites, [&](int s, int) {
        if (termStale_[s]) dataTerms_[s] = dataTerm_->fn(s, labeling[s], dataTerm_->user);
        // data() plus an offset: a site without neighbours may sit at the end of an empty table.
        float* terms = pairTerms_.data() + termOffset_[s];
        forLowerNeighbours(s, [&](int k, int n, float w) {
            if (termStale_[s] || termStale_[n])
                terms[k] = w * smoothTerm_->fn(s, n, labeling[s], labeling[n], smoothTerm_->user);
        });
    });
    double data = 0;
    for (int s = 0; s < numSites; ++s) data += dataTerms_[s];
    double smooth = 0;
    for (int s = 0; s < numSites; ++s) {
        const float* terms = pairTerms_.data() + termOffset_[s];
        forLowerNeighbours(s, [&](int k, int, float) { smooth += terms[k]; });
    }
    termLabels_ = labeling;
    return data + smooth + labelCostEnergy();
}

float MultiLabelOptimizer::computeEnergy() {
    if (!checkReady()) throw OptimizerException{"Not ready to optimize yet. Set up data and smooth costs first"};
    return static_cast<float>(exactEnergy());
}

float MultiLabelOptimizer::dataEnergy() {
    if (!checkReady()) throw OptimizerException{"Not ready to optimize yet. Set up data and smooth costs first"};
    double data = 0;
    for (int s = 0; s < numSites; ++s) data += dataTerm_->fn(s, labeling[s], dataTerm_->user);
    return static_cast<float>(data);
}

float MultiLabelOptimizer::smoothnessEnergy() {
    return static_cast<float>(static_cast<double>(computeEnergy()) - dataEnergy() - labelCostEnergy());
}

void MultiLabelOptimizer::scrambleLabelOrder() {
    for (int k = 0; k < numLabels; ++k) {
        int a = static_cast<int>(labelOrderRandom_() % static_cast<unsigned>(numLabels));
        int b = static_cast<int>(labelOrderRandom_() % static_cast<unsigned>(numLabels));
        int t = labelOrder[a];
        labelOrder[a] = labelOrder[b];
        labelOrder[b] = t;
    }
}

FlowGraph& MultiLabelOptimizer::moveGraph() {
    if (graph_)
        graph_->reset();
    else
        graph_.reset(new FlowGraph);
    return *graph_;
}

double MultiLabelOptimizer::currentEnergy() {
    if (energyKnown_) return knownEnergy_;
    double e = exactEnergy();
    if (inCycles_) {
        knownEnergy_ = e;
        energyKnown_ = true;
    }
    return e;
}

void MultiLabelOptimizer::movedLabels(bool changed) {
    if (!changed) return;
    energyKnown_ = false;
    ++labelVersion_;
}

void MultiLabelOptimizer::moveGuard(const std::vector<int>& before, double energyBefore) {
    double after = exactEnergy();
    if (after > energyBefore) {
        labeling = before;
        after = energyBefore;
    }
    if (inCycles_) {
        knownEnergy_ = after;
        energyKnown_ = true;
    }
}

void MultiLabelOptimizer::expandLabel(int alpha) {
    // Within cycles, a move on the labelling it has already left unchanged would build the same
    // graph again and again change nothing.
    if (inCycles_ && alpha >= 0 && alpha < numLabels && unchangedSince_[size_t(alpha)] == labelVersion_) return;
    int variables = 0;
    for (int s = 0; s < numSites; ++s)
        if (labeling[s] != alpha) ++variables;
    if (variables == 0) return;
    if (!checkReady()) throw OptimizerException{"Set up data and smoothness terms first. "};

    std::vector<int> sites;
    sites.reserve(variables);
    for (int s = 0; s < numSites; ++s)
        if (labeling[s] != alpha) {
            siteToVariable[s] = static_cast<int>(sites.size());
            sites.push_back(s);
        }
    if (reuseFlows_ && inCycles_ && !hasLabelCosts()) {
        expandReusingFlow(alpha, sites);
        return;
    }

    DataCostFn D = dataTerm_->fn;
    void* du = dataTerm_->user;
    SmoothCostFn V = smoothTerm_->fn;
    void* vu = smoothTerm_->user;

    // The term values are evaluated by the worker threads (the cost functions only read), then
    // added to the graph by this thread in a fixed order: the graph is the same for any thread
    // count. Per site: its two data values, then four values per neighbour entry.
    moveTermOffset_.resize(sites.size() + 1);
    moveTermOffset_[0] = 0;
    for (size_t i = 0; i < sites.size(); ++i) {
        int count;
        const int* idx;
        const float* wt;
        neighbourInfo(sites[i], &count, &idx, &wt);
        moveTermOffset_[i + 1] = moveTermOffset_[i] + 2 + 4 * static_cast<size_t>(count);
    }
    moveTerms_.resize(moveTermOffset_.back());
    parallelFor(static_cast<int>(sites.size()), [&](int i, int) {
        const int p = sites[size_t(i)];
        const int lp = labeling[p];
        float* t = moveTerms_.data() + moveTermOffset_[size_t(i)];
        t[0] = D(p, lp, du);
        t[1] = D(p, alpha, du);
        int count;
        const int* idx;
        const float* wt;
        neighbourInfo(p, &count, &idx, &wt);
        for (int k = 0; k < count; ++k) {
            const int n = idx[k];
            const float w = wt[k];
            const int ln = labeling[n];
            float* e = t + 2 + 4 * k;
            if (siteToVariable[n] < 0) {
                e[0] = w * V(p, n, lp, ln, vu);
                e[1] = w * V(p, n, alpha, ln, vu);
            } else if (n < p) {
                e[0] = w * V(p, n, lp, ln, vu);
                e[1] = w * V(p, n, lp, alpha, vu);
                e[2] = w * V(p, n, alpha, ln, vu);
                e[3] = w * V(p, n, alpha, alpha, vu);
            }
        }
    });

    FlowGraph& g = moveGraph();
    std::vector<FlowGraph::Node> nodes(sites.size());
    for (size_t i = 0; i < sites.size(); ++i) nodes[i] = g.addNode();
    for (size_t i = 0; i < sites.size(); ++i) {
        const float* t = moveTerms_.data() + moveTermOffset_[i];
        g.addTerminalCaps(nodes[i], t[0], t[1]);
    }
    long truncatedBefore = nonRegularTerms_;
    for (size_t i = sites.size(); i-- > 0;) {
        int p = sites[i];
        int count;
        const int* idx;
        const float* wt;
        neighbourInfo(p, &count, &idx, &wt);
        const float* t = moveTerms_.data() + moveTermOffset_[i] + 2;
        for (int k = 0; k < count; ++k) {
            int n = idx[k];
            int vn = siteToVariable[n];
            const float* e = t + 4 * k;
            if (vn < 0) {
                g.addTerminalCaps(nodes[i], e[0], e[1]);
            } else if (n < p) {
                float e11 = e[0], e10 = e[1], e01 = e[2], e00 = e[3];
                if (makeRegular(e00, e01, e10, e11, kCurrent11)) ++nonRegularTerms_;
                g.addPairTerm(nodes[i], nodes[vn], e00, e01, e10, e11);
            }
        }
    }
    if (hasLabelCosts()) addLabelCostNodes(g, alpha, sites, nodes);
    g.computeMaxFlow();
    applyExpansionCut(alpha, sites, nodes, g, nonRegularTerms_ != truncatedBefore);
}

void MultiLabelOptimizer::applyExpansionCut(int alpha, const std::vector<int>& sites,
                                            const std::vector<FlowNode*>& nodes, const FlowGraph& g,
                                            bool truncated) {
    std::vector<int> before;
    double energyBefore = 0;
    if (truncated) {
        before = labeling;
        energyBefore = currentEnergy();
    }
    bool changed = false;
    for (size_t i = 0; i < sites.size(); ++i) {
        if (g.isSourceSide(nodes[i])) {
            labeling[sites[i]] = alpha;
            changed = true;
        }
        siteToVariable[sites[i]] = -1;
    }
    movedLabels(changed);
    if (truncated) moveGuard(before, energyBefore);
    if (inCycles_ && !changed) unchangedSince_[size_t(alpha)] = labelVersion_;
}

MultiLabelOptimizer::PairPart MultiLabelOptimizer::pairPart(SmoothCostFn V, void* vu, int hi, int lo, float w,
                                                            int lhi, int llo, int alpha) {
    PairPart part;
    if (lhi != alpha && llo != alpha) {
        float e11 = w * V(hi, lo, lhi, llo, vu);
        float e10 = w * V(hi, lo, lhi, alpha, vu);
        float e01 = w * V(hi, lo, alpha, llo, vu);
        float e00 = w * V(hi, lo, alpha, alpha, vu);
        part.raised = makeRegular(e00, e01, e10, e11, kCurrent11);
        const FlowGraph::PairSplit split = FlowGraph::splitPairTerm(e00, e01, e10, e11);
        part.cap = split.cap;
        part.revCap = split.revCap;
        part.hiTerminal = (e11 - e00) + (split.xSource - split.xSink);
        part.loTerminal = split.ySource - split.ySink;
    } else if (lhi != alpha) {
        part.hiTerminal = w * V(hi, lo, lhi, llo, vu) - w * V(hi, lo, alpha, llo, vu);
    } else if (llo != alpha) {
        part.loTerminal = w * V(lo, hi, llo, lhi, vu) - w * V(lo, hi, alpha, lhi, vu);
    }
    return part;
}

void MultiLabelOptimizer::buildSharedGraph() {
    sharedGraph_.reset(new FlowGraph);
    FlowGraph& g = *sharedGraph_;
    sharedNodes_.resize(size_t(numSites));
    for (int s = 0; s < numSites; ++s) sharedNodes_[size_t(s)] = g.addNode();
    entryOffset_.assign(size_t(numSites) + 1, 0);
    for (int s = 0; s < numSites; ++s) {
        int count = 0;
        forNeighbours(s, [&](int, int, float) { ++count; });
        entryOffset_[size_t(s) + 1] = entryOffset_[size_t(s)] + count;
    }
    entryArc_.assign(size_t(entryOffset_.back()), -1);
    long arcs = 0;
    for (int s = 0; s < numSites; ++s) {
        forLowerNeighbours(s, [&](int k, int n, float) {
            g.addEdge(sharedNodes_[size_t(s)], sharedNodes_[size_t(n)], 0, 0);
            entryArc_[size_t(entryOffset_[size_t(s)] + k)] = arcs++;
        });
    }
    sharedArcs_ = arcs;
    // An entry towards a higher site shares the arc of that site's entry back. The arcs ending at
    // each site are listed by their higher site in increasing order and found by binary search; a
    // pair given more than once is matched in order of appearance.
    std::vector<long> upStart(size_t(numSites) + 1, 0);
    for (int s = 0; s < numSites; ++s) forLowerNeighbours(s, [&](int, int n, float) { ++upStart[size_t(n) + 1]; });
    for (int s = 0; s < numSites; ++s) upStart[size_t(s) + 1] += upStart[size_t(s)];
    std::vector<std::pair<int, long>> up(static_cast<size_t>(arcs));
    std::vector<long> fill(upStart.begin(), upStart.end() - 1);
    for (int s = 0; s < numSites; ++s)
        forLowerNeighbours(s, [&](int k, int n, float) {
            up[size_t(fill[size_t(n)]++)] = {s, entryArc_[size_t(entryOffset_[size_t(s)] + k)]};
        });
    std::vector<char> taken(size_t(arcs), 0);
    for (int s = 0; s < numSites; ++s)
        forNeighbours(s, [&](int k, int n, float) {
            if (n <= s) return;
            auto at = std::lower_bound(up.begin() + upStart[size_t(s)], up.begin() + upStart[size_t(s) + 1], n,
                                       [](const std::pair<int, long>& a, int site) { return a.first < site; });
            while (taken[size_t(at - up.begin())]) ++at;
            taken[size_t(at - up.begin())] = 1;
            entryArc_[size_t(entryOffset_[size_t(s)] + k)] = at->second;
        });
    g.finishArcs();
    labelFlows_.assign(size_t(numLabels), LabelFlow());
}

// The kept residuals of alpha's graph change by the change of each capacity since its last move.
// An arc whose residual would turn negative carries more flow than its new capacity: the surplus
// is sent back, which leaves the tail that much more from the source and the head that much more
// towards the sink. Both shift every cut by the same constant, so the minimum cut is that of the
// new capacities, and the flow kept elsewhere is not searched for again.
void MultiLabelOptimizer::expandReusingFlow(int alpha, const std::vector<int>& sites) {
    if (!sharedGraph_) buildSharedGraph();
    FlowGraph& g = *sharedGraph_;
    LabelFlow& f = labelFlows_[size_t(alpha)];
    const size_t arcCount = size_t(sharedArcs_);
    if (f.labels.empty()) {
        // As if every site had carried alpha: a graph without capacities and without flow.
        f.labels.assign(size_t(numSites), alpha);
        f.terminal.assign(size_t(numSites), 0.0f);
        f.arcs.assign(2 * arcCount, 0.0f);
    }
    std::vector<int>& dirty = dirtySites_;
    std::vector<char>& isDirty = dirtyFlag_;
    dirty.clear();
    isDirty.assign(size_t(numSites), 0);
    for (int s = 0; s < numSites; ++s)
        if (labeling[size_t(s)] != f.labels[size_t(s)]) {
            dirty.push_back(s);
            isDirty[size_t(s)] = 1;
        }
    // The sites whose residuals change: the changed sites and their neighbours.
    touched_.assign(size_t(numSites), 0);
    touchedNodes_.clear();
    auto touch = [&](int s) {
        if (touched_[size_t(s)]) return;
        touched_[size_t(s)] = 1;
        touchedNodes_.push_back(sharedNodes_[size_t(s)]);
    };

    DataCostFn D = dataTerm_->fn;
    void* du = dataTerm_->user;
    SmoothCostFn V = smoothTerm_->fn;
    void* vu = smoothTerm_->user;
    auto dataPart = [&](int s, int label) { return label == alpha ? 0.0f : D(s, label, du) - D(s, alpha, du); };
    std::vector<float>& terminal = f.terminal;
    std::vector<PairChange>& changes = pairChanges_;
    // The changed sites in chunks: the terms of a chunk are evaluated by the worker threads, then
    // applied by this thread in site and entry order, so the result is the same for any thread
    // count, and the work lists stay small.
    const size_t chunk = 4096;
    for (size_t first = 0; first < dirty.size(); first += chunk) {
        const size_t last = std::min(dirty.size(), first + chunk);
        // Every pair with a changed site, once: from its higher site when both changed.
        changes.clear();
        for (size_t i = first; i < last; ++i) {
            const int s = dirty[i];
            forNeighbours(s, [&](int k, int n, float w) {
                if (n == s || (isDirty[size_t(n)] && n > s)) return;
                PairChange c;
                c.arc = entryArc_[size_t(entryOffset_[size_t(s)] + k)];
                c.hi = std::max(s, n);
                c.lo = std::min(s, n);
                c.w = w;
                changes.push_back(c);
            });
        }
        std::vector<float>& dataChange = dataChange_;
        dataChange.resize(last - first);
        parallelFor(static_cast<int>(last - first), [&](int i, int) {
            const int s = dirty[first + size_t(i)];
            dataChange[size_t(i)] = dataPart(s, labeling[size_t(s)]) - dataPart(s, f.labels[size_t(s)]);
        });
        parallelFor(static_cast<int>(changes.size()), [&](int i, int) {
            PairChange& c = changes[size_t(i)];
            const PairPart before = pairPart(V, vu, c.hi, c.lo, c.w, f.labels[size_t(c.hi)], f.labels[size_t(c.lo)], alpha);
            const PairPart after = pairPart(V, vu, c.hi, c.lo, c.w, labeling[size_t(c.hi)], labeling[size_t(c.lo)], alpha);
            c.cap = after.cap - before.cap;
            c.revCap = after.revCap - before.revCap;
            c.hiTerminal = after.hiTerminal - before.hiTerminal;
            c.loTerminal = after.loTerminal - before.loTerminal;
            c.raised = int(after.raised) - int(before.raised);
        });
        for (size_t i = first; i < last; ++i) {
            terminal[size_t(dirty[i])] += dataChange[i - first];
            touch(dirty[i]);
        }
        for (const PairChange& c : changes) {
            touch(c.hi);
            touch(c.lo);
            terminal[size_t(c.hi)] += c.hiTerminal;
            terminal[size_t(c.lo)] += c.loTerminal;
            f.raised += c.raised;
            float& forward = f.arcs[2 * size_t(c.arc)];
            float& reverse = f.arcs[2 * size_t(c.arc) + 1];
            forward += c.cap;
            reverse += c.revCap;
            if (forward < 0) {
                terminal[size_t(c.hi)] -= forward;
                terminal[size_t(c.lo)] += forward;
                reverse = std::max(0.0f, reverse + forward);
                forward = 0;
            } else if (reverse < 0) {
                terminal[size_t(c.hi)] += reverse;
                terminal[size_t(c.lo)] -= reverse;
                forward = std::max(0.0f, forward + reverse);
                reverse = 0;
            }
        }
    }
    for (int s : dirty) f.labels[size_t(s)] = labeling[size_t(s)];

    for (int s = 0; s < numSites; ++s) g.setTerminalResidual(sharedNodes_[size_t(s)], terminal[size_t(s)]);
    for (size_t a = 0; a < arcCount; ++a) g.setArcResiduals(long(a), f.arcs[2 * a], f.arcs[2 * a + 1]);
    // The first move on a label searches the whole graph; later ones continue from its trees.
    if (f.trees.parent.empty()) {
        g.computeMaxFlow();
    } else {
        g.restoreTrees(f.trees);
        g.resumeMaxFlow(touchedNodes_);
    }
    g.saveTrees(f.trees);
    for (int s = 0; s < numSites; ++s) terminal[size_t(s)] = g.terminalResidual(sharedNodes_[size_t(s)]);
    for (size_t a = 0; a < arcCount; ++a) g.arcResiduals(long(a), f.arcs[2 * a], f.arcs[2 * a + 1]);

    nonRegularTerms_ += f.raised;
    std::vector<FlowNode*> nodes(sites.size());
    for (size_t i = 0; i < sites.size(); ++i) nodes[i] = sharedNodes_[size_t(sites[i])];
    applyExpansionCut(alpha, sites, nodes, g, f.raised > 0);
}

void MultiLabelOptimizer::swapLabels(int alpha, int beta) {
    int variables = 0;
    for (int s = 0; s < numSites; ++s)
        if (labeling[s] == alpha || labeling[s] == beta) ++variables;
    if (variables == 0) return;
    if (!checkReady()) throw OptimizerException{"Set up data and smoothness terms first. "};

    std::vector<int> sites;
    sites.reserve(variables);
    for (int s = 0; s < numSites; ++s)
        if (labeling[s] == alpha || labeling[s] == beta) {
            siteToVariable[s] = static_cast<int>(sites.size());
            sites.push_back(s);
        }

    DataCostFn D = dataTerm_->fn;
    void* du = dataTerm_->user;
    SmoothCostFn V = smoothTerm_->fn;
    void* vu = smoothTerm_->user;

    FlowGraph& g = moveGraph();
    std::vector<FlowGraph::Node> nodes(sites.size());
    for (size_t i = 0; i < sites.size(); ++i) nodes[i] = g.addNode();
    for (size_t i = 0; i < sites.size(); ++i) {
        int p = sites[i];
        g.addTerminalCaps(nodes[i], D(p, beta, du), D(p, alpha, du));
    }
    long truncatedBefore = nonRegularTerms_;
    for (size_t i = sites.size(); i-- > 0;) {
        int p = sites[i];
        int count;
        const int* idx;
        const float* wt;
        neighbourInfo(p, &count, &idx, &wt);
        for (int k = 0; k < count; ++k) {
            int n = idx[k];
            float w = wt[k];
            int vn = siteToVariable[n];
            if (vn < 0) {
                int ln = labeling[n];
                float eb = w * V(p, n, beta, ln, vu);
                float ea = w * V(p, n, alpha, ln, vu);
                g.addTerminalCaps(nodes[i], eb, ea);
            } else if (n < p) {
                float e00 = w * V(p, n, alpha, alpha, vu);
                float e01 = w * V(p, n, alpha, beta, vu);
                float e10 = w * V(p, n, beta, alpha, vu);
                float e11 = w * V(p, n, beta, beta, vu);
                bool pa = labeling[p] == alpha;
                bool na = labeling[n] == alpha;
                CurrentEntry cur = pa ? (na ? kCurrent00 : kCurrent01) : (na ? kCurrent10 : kCurrent11);
                if (makeRegular(e00, e01, e10, e11, cur)) ++nonRegularTerms_;
                g.addPairTerm(nodes[i], nodes[vn], e00, e01, e10, e11);
            }
        }
    }
    g.computeMaxFlow();

    bool truncated = nonRegularTerms_ != truncatedBefore;
    std::vector<int> before;
    double energyBefore = 0;
    if (truncated) {
        before = labeling;
        energyBefore = currentEnergy();
    }
    bool changed = false;
    for (size_t i = 0; i < sites.size(); ++i) {
        const int label = g.isSourceSide(nodes[i]) ? alpha : beta;
        changed = changed || labeling[sites[i]] != label;
        labeling[sites[i]] = label;
        siteToVariable[sites[i]] = -1;
    }
    movedLabels(changed);
    if (truncated) moveGuard(before, energyBefore);
}

double MultiLabelOptimizer::expansionCycle() {
    if (randomLabelOrder) scrambleLabelOrder();
    for (int k = 0; k < numLabels; ++k) expandLabel(labelOrder[k]);
    return currentEnergy();
}

double MultiLabelOptimizer::swapCycle() {
    if (randomLabelOrder) scrambleLabelOrder();
    for (int j = 0; j < numLabels; ++j)
        for (int i = numLabels - 1; i >= 0; --i)
            if (labelOrder[j] < labelOrder[i]) swapLabels(labelOrder[j], labelOrder[i]);
    return currentEnergy();
}

float MultiLabelOptimizer::runCycles(int maxCycles, bool expansion) {
    if (!checkReady()) throw OptimizerException{"Not ready to optimize yet. Set up data and smooth costs first"};
    // The first cycle always runs; the loop stops after the first cycle that does not lower the
    // energy (that cycle counted). The comparison is made on double sums, never on rounded floats.
    // While the cycles run the energy of the labelling is remembered between moves, so a move whose
    // pairwise terms were raised compares against it without summing it again.
    struct CycleScope {
        MultiLabelOptimizer& o;
        explicit CycleScope(MultiLabelOptimizer& opt) : o(opt) {
            o.inCycles_ = true;
            o.energyKnown_ = false;
            o.labelVersion_ = 0;
            o.unchangedSince_.assign(static_cast<size_t>(o.numLabels > 0 ? o.numLabels : 0), -1);
        }
        ~CycleScope() {
            o.inCycles_ = false;
            o.energyKnown_ = false;
            o.termLabels_.clear();
            std::vector<float>().swap(o.dataTerms_);
            std::vector<float>().swap(o.pairTerms_);
            std::vector<float>().swap(o.moveTerms_);
            o.sharedGraph_.reset();
            std::vector<LabelFlow>().swap(o.labelFlows_);
            std::vector<PairChange>().swap(o.pairChanges_);
        }
    } scope(*this);
    double energy = currentEnergy();
    long cycles = 1;
    while (cycles <= maxCycles) {
        double old = energy;
        energy = expansion ? expansionCycle() : swapCycle();
        ++cycles;
        if (!(energy < old)) break;
    }
    logOut() << (expansion ? "Graph Cut Expansion" : "Graph Cut Swap") << " finished in "
             << static_cast<int>(cycles - 1) << " cycles!" << std::endl;
    return static_cast<float>(energy);
}

float MultiLabelOptimizer::runExpansion(int maxCycles) { return runCycles(maxCycles, true); }

float MultiLabelOptimizer::runSwap(int maxCycles) { return runCycles(maxCycles, false); }

// ---------------------------------------------------------------------------------------------

GeneralGraphOptimizer::GeneralGraphOptimizer(int sites, int labels) : MultiLabelOptimizer(sites, labels) {}

GeneralGraphOptimizer::~GeneralGraphOptimizer() {
    releasePending();
    if (ownsNeighbourArrays) {
        for (int* p : neighbourIndex) delete[] p;
        for (float* p : neighbourWeight) delete[] p;
    }
}

void GeneralGraphOptimizer::releasePending() {
    for (NeighbourBlock*& head : pendingNeighbours) {
        while (head) {
            NeighbourBlock* next = head->next;
            delete head;
            head = next;
        }
    }
    pendingNeighbours.clear();
    pendingNeighbours.shrink_to_fit();
}

void GeneralGraphOptimizer::push(int site, int neighbour, float weight) {
    NeighbourBlock*& head = pendingNeighbours[site];
    if (!head || head->count == 4) {
        NeighbourBlock* b = new (std::nothrow) NeighbourBlock;
        if (!b) {
            logOut() << "\nOut of memory" << std::flush;
            throw OptimizerException{"Out of memory"};
        }
        b->count = 0;
        b->next = head;
        head = b;
    }
    head->records[head->count++] = NeighbourRecord{neighbour, weight};
}

void GeneralGraphOptimizer::addNeighbourPair(int site1, int site2, float weight) {
    if (!needConversion) throw OptimizerException{"Already set up neighborhood system"};
    if (pendingNeighbours.empty() && numSites > 0) {
        try {
            pendingNeighbours.assign(numSites, nullptr);
        } catch (const std::bad_alloc&) {
            throw OptimizerException{"Not enough memory"};
        }
    }
    push(site1, site2, weight);
    push(site2, site1, weight);
}

void GeneralGraphOptimizer::convertNeighbours() {
    needConversion = false;
    try {
        numNeighbours.assign(numSites, 0);
        neighbourIndex.assign(numSites, nullptr);
        neighbourWeight.assign(numSites, nullptr);
        if (!pendingNeighbours.empty()) {
            for (int s = 0; s < numSites; ++s) {
                int count = 0;
                for (NeighbourBlock* b = pendingNeighbours[s]; b; b = b->next) count += b->count;
                numNeighbours[s] = count;
                if (count == 0) continue;
                neighbourIndex[s] = new int[count];
                neighbourWeight[s] = new float[count];
                int k = 0;
                for (NeighbourBlock* b = pendingNeighbours[s]; b; b = b->next)
                    for (int r = 0; r < b->count; ++r, ++k) {
                        neighbourIndex[s][k] = b->records[r].neighbour;
                        neighbourWeight[s][k] = b->records[r].weight;
                    }
            }
        }
    } catch (const std::bad_alloc&) {
        throw OptimizerException{"Not enough memory"};
    }
    releasePending();
}

bool GeneralGraphOptimizer::checkReady() {
    MultiLabelOptimizer::checkReady();
    if (needConversion) convertNeighbours();
    return true;
}

void GeneralGraphOptimizer::neighbourInfo(int site, int* count, const int** indices, const float** weights) {
    if (needConversion) convertNeighbours();
    *count = numNeighbours[site];
    *indices = neighbourIndex[site];
    *weights = neighbourWeight[site];
}

}  // namespace veltrix
