/* The search tree of range-minimum chaining: an intrusive AVL tree whose
 * nodes also carry their subtree's size and the subtree's node of smallest
 * priority, so that the best node of any key range is found along two root
 * paths. */
#include "map/chain.h"

#include "base/diagnostics.h"

namespace {

// Deepest path an operation records. An AVL tree of height 64 would hold
// more than 2^44 nodes.
const int kMaxDepth = 64;

/* Generic AVL tree with subtree minima over an intrusive node type. Node has
 * the members child[2], min_node, balance and size; Ops supplies
 *   static int cmp(const Node *a, const Node *b)   key order: <0, 0, >0
 *   static bool better(const Node *a, const Node *b)   a's priority strictly
 *                                                     smaller than b's
 * All operations are iterative over explicit paths. */
template <class Node, class Ops> struct AvlMinTree {
    static uint32_t size_of(const Node *p) { return p ? p->size : 0; }

    // The subtree minimum from the children's minima and the node itself:
    // the node beats the left candidate only when strictly better, and the
    // right candidate beats the result unless that is strictly better.
    static void update_min(Node *p) {
        Node *m = p;
        if (p->child[0] && !Ops::better(p, p->child[0]->min_node)) m = p->child[0]->min_node;
        if (p->child[1] && !Ops::better(m, p->child[1]->min_node)) m = p->child[1]->min_node;
        p->min_node = m;
    }
    static void update(Node *p) {
        p->size = 1 + size_of(p->child[0]) + size_of(p->child[1]);
        update_min(p);
    }

    // Rotates q, whose side d (0 left, 1 right) is two levels higher than
    // the other, and returns the new subtree root. Its balance is 0 unless
    // the heavy child was balanced (possible only after an erase), in which
    // case the subtree's height is unchanged.
    static Node *rotate(Node *q, int d) {
        const int sign = d ? 1 : -1;
        Node *r = q->child[d];
        if (r->balance != -sign) { // single rotation
            q->child[d] = r->child[!d];
            r->child[!d] = q;
            if (r->balance == 0) {
                q->balance = (int8_t)sign, r->balance = (int8_t)-sign;
            } else {
                q->balance = r->balance = 0;
            }
            update(q);
            update(r);
            return r;
        }
        Node *s = r->child[!d]; // double rotation: s rises above q and r
        r->child[!d] = s->child[d];
        q->child[d] = s->child[!d];
        s->child[d] = r;
        s->child[!d] = q;
        q->balance = (int8_t)(s->balance == sign ? -sign : 0);
        r->balance = (int8_t)(s->balance == -sign ? sign : 0);
        s->balance = 0;
        update(q);
        update(r);
        update(s);
        return s;
    }

    static void relink(Node **root, Node **path, const int *dir, int i, Node *p) {
        if (i == 0)
            *root = p;
        else
            path[i - 1]->child[dir[i - 1]] = p;
    }

    static Node *insert(Node **root, Node *x) {
        Node *path[kMaxDepth];
        int dir[kMaxDepth], np = 0, top = 0;
        for (Node *p = *root; p;) {
            int c = Ops::cmp(x, p);
            if (c == 0) return p;
            LS_ASSERT(np < kMaxDepth);
            // Only the deepest node that leans to a side can go out of
            // balance: the nodes below it grow by one level each.
            if (p->balance != 0) top = np;
            path[np] = p, dir[np] = c > 0, ++np;
            p = p->child[c > 0];
        }
        x->child[0] = x->child[1] = nullptr;
        x->balance = 0, x->size = 1, x->min_node = x;
        if (np == 0) {
            *root = x;
            return x;
        }
        path[np - 1]->child[dir[np - 1]] = x;
        for (int i = 0; i < np; ++i) ++path[i]->size;
        // Above the first subtree of which x is not the minimum, no minimum
        // changes: x lost there to a node that also beats everything x
        // displaced below.
        for (int i = np - 1; i >= 0; --i) {
            update_min(path[i]);
            if (path[i]->min_node != x) break;
        }
        for (int i = top; i < np; ++i) path[i]->balance += dir[i] ? 1 : -1;
        Node *q = path[top];
        if (q->balance == 2 || q->balance == -2) relink(root, path, dir, top, rotate(q, q->balance > 0));
        return x;
    }

    static Node *erase(Node **root, const Node *key) {
        Node *path[kMaxDepth], *p = *root;
        int dir[kMaxDepth], np = 0;
        while (p) {
            int c = Ops::cmp(key, p);
            if (c == 0) break;
            LS_ASSERT(np < kMaxDepth);
            path[np] = p, dir[np] = c > 0, ++np;
            p = p->child[c > 0];
        }
        if (!p) return nullptr;
        if (!p->child[1]) {
            relink(root, path, dir, np, p->child[0]);
        } else {
            // The in-order successor s takes p's place, children and
            // balance; the path runs on through s's old ancestors.
            const int k = np;
            LS_ASSERT(np < kMaxDepth);
            path[np] = p, dir[np] = 1, ++np;
            Node *s = p->child[1];
            while (s->child[0]) {
                LS_ASSERT(np < kMaxDepth);
                path[np] = s, dir[np] = 0, ++np;
                s = s->child[0];
            }
            if (np - 1 > k) { // s lies deeper than p's right child
                path[np - 1]->child[0] = s->child[1];
                s->child[1] = p->child[1];
            }
            s->child[0] = p->child[0];
            s->balance = p->balance;
            relink(root, path, dir, k, s);
            path[k] = s;
        }
        for (int i = np - 1; i >= 0; --i) update(path[i]);
        // Rebalance upwards while the subtree below lost a level.
        for (int i = np - 1; i >= 0; --i) {
            Node *q = path[i];
            q->balance += dir[i] ? -1 : 1;
            if (q->balance == 1 || q->balance == -1) break; // height unchanged
            if (q->balance == 0) continue;                  // one level lower
            Node *r = rotate(q, q->balance > 0);
            relink(root, path, dir, i, r);
            if (r->balance != 0) break;
        }
        return p;
    }

    static Node *find(const Node *root, const Node *key) {
        const Node *p = root;
        while (p) {
            int c = Ops::cmp(key, p);
            if (c == 0) break;
            p = p->child[c > 0];
        }
        return const_cast<Node *>(p);
    }

    static Node *lower(const Node *root, const Node *key) {
        const Node *best = nullptr;
        for (const Node *p = root; p;) {
            int c = Ops::cmp(key, p);
            if (c >= 0) best = p;
            if (c == 0) break;
            p = p->child[c > 0];
        }
        return const_cast<Node *>(best);
    }

    // Root path towards key with the comparison (key vs node) at each node;
    // stops at a node equal to key. Returns the path length.
    static int search_path(const Node *root, const Node *key, const Node **path, int *cmp) {
        int n = 0;
        for (const Node *p = root; p;) {
            LS_ASSERT(n < kMaxDepth);
            int c = Ops::cmp(key, p);
            path[n] = p, cmp[n] = c, ++n;
            if (c == 0) break;
            p = p->child[c > 0];
        }
        return n;
    }

    static Node *range_min(const Node *root, const Node *lo, const Node *hi) {
        const Node *pl[kMaxDepth], *ph[kMaxDepth];
        int cl[kMaxDepth], ch[kMaxDepth];
        const int nl = search_path(root, lo, pl, cl), nh = search_path(root, hi, ph, ch);
        // The split node: the highest node inside [lo, hi]. Above it both
        // paths agree; once they part, the parting node lies between them.
        int d = 0;
        for (; d < nl && d < nh && pl[d] == ph[d]; ++d)
            if (cl[d] <= 0 && ch[d] >= 0) break;
        if (d == nl || d == nh || pl[d] != ph[d]) return nullptr;
        const Node *m = pl[d];
        auto consider = [&m](const Node *q) {
            if (q && Ops::better(q, m)) m = q;
        };
        // Below the split, a node the lo path passes with lo <= node is in
        // range together with its whole right subtree; symmetrically on the
        // hi path with the left subtree.
        for (int i = d + 1; i < nl; ++i) {
            if (cl[i] > 0) continue;
            consider(pl[i]);
            if (pl[i]->child[1]) consider(pl[i]->child[1]->min_node);
        }
        for (int i = d + 1; i < nh; ++i) {
            if (ch[i] < 0) continue;
            consider(ph[i]);
            if (ph[i]->child[0]) consider(ph[i]->child[0]->min_node);
        }
        return const_cast<Node *>(m);
    }
};

struct RmqOps {
    static int cmp(const nx_rmq_node *a, const nx_rmq_node *b) {
        if (a->y != b->y) return a->y < b->y ? -1 : 1;
        return (a->index > b->index) - (a->index < b->index);
    }
    static bool better(const nx_rmq_node *a, const nx_rmq_node *b) { return a->priority < b->priority; }
};

using RmqTree = AvlMinTree<nx_rmq_node, RmqOps>;

} // namespace

nx_rmq_node *nx_rmq_insert(nx_rmq_node **root, nx_rmq_node *node) {
    return RmqTree::insert(root, node);
}

nx_rmq_node *nx_rmq_erase(nx_rmq_node **root, const nx_rmq_node *key) {
    return RmqTree::erase(root, key);
}

nx_rmq_node *nx_rmq_find(const nx_rmq_node *root, const nx_rmq_node *key) {
    return RmqTree::find(root, key);
}

nx_rmq_node *nx_rmq_lower(const nx_rmq_node *root, const nx_rmq_node *key) {
    return RmqTree::lower(root, key);
}

nx_rmq_node *nx_rmq_range_min(const nx_rmq_node *root, const nx_rmq_node *lo, const nx_rmq_node *hi) {
    return RmqTree::range_min(root, lo, hi);
}

int nx_rmq_itr_lower(const nx_rmq_node *root, const nx_rmq_node *key, nx_rmq_itr *itr) {
    // The path to the lower node is the search path for key cut after the
    // last node not above key.
    int n = 0, keep = 0;
    for (const nx_rmq_node *p = root; p;) {
        LS_ASSERT(n < kMaxDepth);
        int c = RmqOps::cmp(key, p);
        itr->path[n++] = p;
        if (c >= 0) keep = n;
        if (c == 0) break;
        p = p->child[c > 0];
    }
    itr->depth = keep;
    return keep > 0;
}

int nx_rmq_itr_prev(nx_rmq_itr *itr) {
    if (itr->depth == 0) return 0;
    const nx_rmq_node *p = itr->path[itr->depth - 1];
    if (p->child[0]) { // the largest node of the left subtree
        for (p = p->child[0]; p; p = p->child[1]) {
            LS_ASSERT(itr->depth < kMaxDepth);
            itr->path[itr->depth++] = p;
        }
        return 1;
    }
    // Otherwise the nearest ancestor whose right subtree holds p.
    const nx_rmq_node *from;
    do {
        from = itr->path[--itr->depth];
    } while (itr->depth > 0 && itr->path[itr->depth - 1]->child[0] == from);
    return itr->depth > 0;
}
