#pragma once
// A window in which the rigid transform of every source vertex is edited by hand, with the
// registration costs of the edited transforms shown as text.
#include <QGLViewer/constraint.h>
#include <QGLViewer/frame.h>
#include <QGLViewer/manipulatedFrame.h>
#include <QGLViewer/qglviewer.h>

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "matching/RigidTransform.h"
#include "core/Vec3f.h"

namespace veltrix {

class Scene;
class ShapeModel;

// One source vertex with its own rigid transform: the frame maps the vertex (given in source
// coordinates) into the world. The position and normal are the vertex's at creation.
class VertexObject {
public:
    VertexObject(const Vec3f& p, const Vec3f& n) : position(p), normal(n) {}

    // The frame's rotation (from its quaternion) and its position as translation.
    RigidTransform transform() const;
    // Sets the frame from a rigid transform (orientation through a quaternion).
    void setTransform(const RigidTransform& T);
    // Draws the vertex as a point and its normal as a segment of the given length, in the frame.
    void draw(float normalLength) const;

    qglviewer::Frame frame;  // identity at creation
    Vec3f position;
    Vec3f normal;
};

// Moves and rotates a set of frames together with the manipulated frame it is attached to.
class ManipulatedFrameSetConstraint : public qglviewer::Constraint {
public:
    ~ManipulatedFrameSetConstraint() override;
    // Every listed frame is translated by the same (world) translation.
    void constrainTranslation(qglviewer::Vec& translation, qglviewer::Frame* const frame) override;
    // Every listed frame turns by the rotation of `frame`, about the axis through its position.
    void constrainRotation(qglviewer::Quaternion& rotation, qglviewer::Frame* const frame) override;

    void clearSet() { frames.clear(); }
    void addObjectToSet(qglviewer::Frame* f) { frames.push_back(f); }

    std::vector<qglviewer::Frame*> frames;  // not owned
};

// Per-vertex rigid transforms of the source, edited by hand.
class TransformViewer : public QGLViewer {
    Q_OBJECT
public:
    // Quantities one source vertex contributes to the data costs: its moved position and normal
    // and its nearest target vertex.
    struct DataSample {
        Vec3f moved;          // T_i p_i
        Vec3f movedNormal;    // R_i n_i
        Vec3f closest;        // position of the nearest target vertex
        Vec3f closestNormal;  // its normal (zero when the target has none)
        float distance;       // Euclidean distance to it
        int sourceStatus;     // VertexStatus of the source vertex
        int closestStatus;    // VertexStatus of the target vertex
        float resolution;     // the target's meshResolution
    };
    typedef float (*DataTerm)(const DataSample& s);
    typedef float (*SmoothTerm)(const TransformViewer& viewer);

    // The shapes and the scene are not owned; they must outlive the window. The window deletes
    // itself when closed.
    TransformViewer(Scene* scene, ShapeModel* source, ShapeModel* target);
    ~TransformViewer() override;

    // Sets every source vertex's frame from the graph-cut labelling, when there is one for this
    // source. Vertices with the dummy label (or any label without a transform) get the identity.
    bool assignGraphCutTransforms();
    // Creates one object per source vertex unless they exist; safe to call any number of times.
    void createObjects();
    // Fills targetErrors (mesh source only; returns false otherwise).
    bool computeTargetErrors();
    // Writes the source with the current transforms to the OBJ file at path (never replacing a
    // file). Shows the information box for a point-set source. Returns whether a file was written.
    bool saveEditedSource(const QString& path);
    // Asks for a file name and saves the edited source there.
    void saveEditedSourceDialog();
    // Starts moving the selection with the manipulated frame: the selected frames follow it, and
    // it is placed at the mean of their current positions.
    void startManipulation();
    // The text lines drawn in the window, top to bottom.
    QStringList costLines() const;
    // Current world position of source vertex i (T_i p_i).
    Vec3f movedPosition(int i) const;

    QString helpString() const override;

    Scene* scene;
    ShapeModel* source;
    ShapeModel* target;

    std::vector<std::unique_ptr<VertexObject>> vertexObjects;  // one per source vertex, in order
    std::vector<RigidTransform> vertexTransforms;              // refreshed before each evaluation
    std::vector<DataTerm> dataTerms;
    std::vector<SmoothTerm> smoothTerms;
    QStringList dataTermNames;
    QStringList smoothTermNames;
    std::vector<float> dataCosts;    // one per data term, last evaluation
    std::vector<float> smoothCosts;  // one per smoothness term, last evaluation

    bool showSource = true;
    bool showTarget = true;
    bool alternateSourceColor = false;
    bool showErrorColors = false;
    // One value per target vertex: distance to the moved source surface over the scene diagonal.
    std::vector<float> targetErrors;

    QRect selectionRect;    // press corner (topLeft) and current corner (bottomRight), pixels
    int selectionMode = 0;  // 0 none, 1 add, 2 remove
    std::vector<int> selection;  // selected object indices, in selection order

    float normalLength = 0.0f;  // length of the drawn normal segments, model units
    std::unique_ptr<qglviewer::ManipulatedFrame> selectionFrame;
    std::unique_ptr<ManipulatedFrameSetConstraint> selectionConstraint;

public slots:
    void updateGL() { update(); }
    // Refreshes vertexTransforms, then computes dataCosts and smoothCosts.
    void evaluateCost();

protected:
    void init() override;
    void draw() override;
    void drawWithNames() override;
    void endSelection(const QPoint& point) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void refreshTransforms();
    void drawSelectedObjects();
    void drawEditedSource();
    void drawErrorColors();
    void drawLegend();
    void drawSelectionRectangle();
    void drawCostText();
};

}  // namespace veltrix
