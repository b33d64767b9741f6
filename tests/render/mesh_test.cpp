// The seven vertex tables: sizes, golden vertices and the relations between meshes.
#include <gtest/gtest.h>

#include <cstring>

#include "render/render.h"

namespace orlith {
namespace {

const ColorVertex& colorVertex(Mesh mesh, int i) { return static_cast<const ColorVertex*>(meshData(mesh).vertices)[i]; }

TEST(Meshes, BufferSizesAreVertexCountTimesStride) {
    struct Case {
        Mesh mesh;
        int bytes;
    } cases[] = {{Mesh::wallCube, 1008},   {Mesh::texturedCube, 864}, {Mesh::goalMarker, 672}, {Mesh::guideMarker, 336},
                 {Mesh::orbiter, 1008},    {Mesh::gateBar, 336},      {Mesh::playerArrow, 588}};
    for (const Case& c : cases) {
        MeshData m = meshData(c.mesh);
        EXPECT_EQ(m.vertexCount * m.stride, c.bytes) << static_cast<int>(c.mesh);
    }
}

TEST(Meshes, GoldenVerticesMatchTheTables) {
    struct Case {
        Mesh mesh;
        int index;
        float position[3];
        float color[4];
    } cases[] = {
        {Mesh::wallCube, 0, {0.5f, 0.5f, -0.5f}, {0.4f, 0.4f, 0, 1}},
        {Mesh::wallCube, 5, {-0.5f, 0.5f, -0.5f}, {0.6f, 0.6f, 0, 1}},
        {Mesh::wallCube, 29, {-0.5f, 0.5f, 0.5f}, {0, 0, 0.8f, 1}},
        {Mesh::wallCube, 35, {-0.5f, -0.5f, -0.5f}, {0.6f, 0, 0.6f, 1}},
        {Mesh::goalMarker, 2, {0, 1, 0}, {1, 0, 0, 1}},
        {Mesh::goalMarker, 23, {0, -1, 0}, {0.5f, 0, 0, 1}},
        {Mesh::guideMarker, 4, {-0.82f, -0.33f, 0.47f}, {0.6f, 0.6f, 0.6f, 1}},
        {Mesh::guideMarker, 11, {-0.82f, -0.33f, 0.47f}, {0.4f, 0.4f, 0.4f, 1}},
        {Mesh::orbiter, 6, {0.5f, 0.5f, 0.5f}, {0, 1, 1, 1}},
        {Mesh::orbiter, 12, {-0.5f, 0.5f, 0.5f}, {1, 1, 0, 1}},
        {Mesh::orbiter, 30, {0.5f, -0.5f, -0.5f}, {1, 1, 1, 1}},
        {Mesh::gateBar, 7, {1, -1, -1}, {0, 1, 1, 1}},
        {Mesh::playerArrow, 13, {0.1f, 0.1f, -0.9f}, {0.6f, 0, 0, 1}},
        {Mesh::playerArrow, 20, {-0.1f, 0.1f, -0.9f}, {1, 1, 0, 1}},
    };
    for (const Case& c : cases) {
        const ColorVertex& v = colorVertex(c.mesh, c.index);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(v.position[k], c.position[k]) << static_cast<int>(c.mesh) << " " << c.index;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(v.color[k], c.color[k]) << static_cast<int>(c.mesh) << " " << c.index;
    }
}

TEST(Meshes, TexturedCubeFacesStandUprightWithTheSameCoordinates) {
    const auto* v = static_cast<const TexturedVertex*>(meshData(Mesh::texturedCube).vertices);
    const float uv[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (int face = 0; face < 6; ++face) {
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(v[4 * face + k].texcoord[0], uv[k][0]);
            EXPECT_EQ(v[4 * face + k].texcoord[1], uv[k][1]);
        }
        if (face < 4) {  // side faces: the first two vertices on the upper edge
            EXPECT_EQ(v[4 * face].position[1], 0.5f);
            EXPECT_EQ(v[4 * face + 1].position[1], 0.5f);
            EXPECT_EQ(v[4 * face + 2].position[1], -0.5f);
        }
    }
    EXPECT_EQ(v[8].position[0], 0.5f);  // face 3 starts at (0.5, 0.5, 0.5)
    EXPECT_EQ(v[8].position[2], 0.5f);
    EXPECT_EQ(v[23].color[0], 0.5f);
}

TEST(Meshes, OrbiterSharesTheWallCubePositions) {
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(std::memcmp(colorVertex(Mesh::orbiter, i).position, colorVertex(Mesh::wallCube, i).position, 12), 0) << i;
    }
}

TEST(Meshes, GateBarStripsDifferOnlyInColour) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(std::memcmp(colorVertex(Mesh::gateBar, i).position, colorVertex(Mesh::gateBar, i + 4).position, 12), 0);
        EXPECT_EQ(std::memcmp(colorVertex(Mesh::gateBar, i).position, colorVertex(Mesh::gateBar, i + 8).position, 12), 0);
        EXPECT_EQ(colorVertex(Mesh::gateBar, i).color[2], 0.0f);      // yellow
        EXPECT_EQ(colorVertex(Mesh::gateBar, i + 4).color[0], 0.0f);  // cyan
        EXPECT_EQ(colorVertex(Mesh::gateBar, i + 8).color[2], 1.0f);  // white
    }
}

}  // namespace
}  // namespace orlith
