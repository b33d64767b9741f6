// Where a position lies: its cell, its distance from the goal, and the shortest way through a
// maze's open cells.
#include <climits>
#include <cmath>
#include <vector>

#include "maze/maze.h"

namespace orlith {

namespace {

// Far outside every maze, and far enough from the int limits that a neighbour offset of
// one cell cannot overflow.
constexpr int32_t kOutsideCell = INT32_MIN / 2;

// Truncation toward zero that never invokes undefined behaviour: out of range is INT32_MAX.
int32_t truncToInt(double v) {
    if (!(v > -2147483648.0 && v < 2147483648.0)) return INT32_MAX;
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t cellOf(float v) {
    // Anything beyond a million cells is outside every maze; this also catches NaN and infinities.
    if (!(v > -1.0e6f && v < 1.0e6f)) return kOutsideCell;
    return v > 0 ? static_cast<int32_t>(v + 0.5f) : static_cast<int32_t>(v - 0.5f);
}

int32_t distanceToGoal(const float goal[3], const float position[3]) {
    float sum = 0;
    for (int k = 0; k < 3; ++k) {
        float shifted = position[k] + 0.5f;
        if (!(shifted > -2147483648.0f && shifted < 2147483648.0f)) return INT32_MAX;
        float diff = goal[k] - static_cast<float>(static_cast<int32_t>(shifted));
        sum += diff * diff;
    }
    return truncToInt(std::sqrt(static_cast<double>(sum)));
}

std::vector<MazeCell> shortestPath(const int32_t* cell, int32_t edge) {
    if (edge < 3 || edge > gridDim) return {};
    // Breadth first from the goal over the box, so the walk back from the start follows the
    // parents straight to it. Cells are numbered within the box: (x * edge + y) * edge + z.
    const int32_t n = edge * edge * edge;
    auto open = [&](int32_t i) { return cell[cellIndex(i / (edge * edge), i / edge % edge, i % edge)] != -1; };
    const int32_t goal = (1 * edge + 1) * edge + 1;
    const int32_t start = ((edge - 2) * edge + edge - 2) * edge + edge - 2;
    if (!open(goal) || !open(start)) return {};
    std::vector<int32_t> parent(static_cast<size_t>(n), -1);
    std::vector<int32_t> queue;
    queue.reserve(static_cast<size_t>(n));
    parent[static_cast<size_t>(goal)] = goal;
    queue.push_back(goal);
    const int32_t strides[3] = {edge * edge, edge, 1};
    for (size_t head = 0; head < queue.size() && parent[static_cast<size_t>(start)] < 0; ++head) {
        int32_t i = queue[head];
        const int32_t at[3] = {i / (edge * edge), i / edge % edge, i % edge};
        for (int axis = 0; axis < 3; ++axis) {
            for (int side = -1; side <= 1; side += 2) {
                int32_t c = at[axis] + side;
                if (c < 0 || c >= edge) continue;
                int32_t j = i + side * strides[axis];
                if (parent[static_cast<size_t>(j)] >= 0 || !open(j)) continue;
                parent[static_cast<size_t>(j)] = i;
                queue.push_back(j);
            }
        }
    }
    if (parent[static_cast<size_t>(start)] < 0) return {};
    std::vector<MazeCell> path;
    for (int32_t i = start;; i = parent[static_cast<size_t>(i)]) {
        path.push_back({i / (edge * edge), i / edge % edge, i % edge});
        if (i == goal) break;
    }
    return path;
}

int32_t shortestPathLength(const int32_t* cellGrid, int32_t edge) {
    return static_cast<int32_t>(shortestPath(cellGrid, edge).size()) - 1;
}

}  // namespace orlith
