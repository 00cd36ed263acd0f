#pragma once

#include <QString>
#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace veltrix {

// One tunable parameter of the correspondence pipeline: label, minimum button, scroll bar,
// maximum button and value field. Every change made by the user is reported as
// valueChanged(id, value); changing the range alone reports nothing.
class ParamSelect : public QWidget
{
    Q_OBJECT
public:
    // The row is placed at y = 30 * id + 10 in the parent's coordinates; the child widgets'
    // object names are the label text without blanks followed by "Label", "Min", "Scroll",
    // "Max" and "Value".
    ParamSelect(QWidget* parent, const QString& labelText, int id);

    // Sets the range and the value without emitting anything. The range is widened so that it
    // always contains the value.
    void setRange(double min, double max, double value);

    int getId() const { return id; }
    double getMin() const { return min; }
    double getMax() const { return max; }
    double getValue() const { return value; }
    const QString& getName() const { return name; }

signals:
    void valueChanged(int id, double value);

public slots:
    void minRangeClicked();
    void maxRangeClicked();
    void scrollChanged(int position);
    void editChanged();

private:
    // Shows min, max and value; moves the scroll bar too when moveScroll is set.
    void refresh(bool moveScroll);

    QString name;
    int id;
    double min = 0.0;
    double max = 100.0;
    double value = 0.0;
    QLabel* label = nullptr;
    QPushButton* minButton = nullptr;
    QPushButton* maxButton = nullptr;
    QScrollBar* scroll = nullptr;
    QLineEdit* valueEdit = nullptr;
    bool updating = false;
};

// Tool window with one ParamSelect per pipeline parameter and the buttons that run the
// pipeline steps. It changes nothing itself: all changes and button presses go out through
// valueChanged(which, value); buttons report their id with the value 1.0.
class CorrespEdit : public QWidget
{
    Q_OBJECT
public:
    explicit CorrespEdit(QWidget* parent = nullptr);
    ~CorrespEdit() override;

    // setRange on the control with that id; warns on standard error when there is none.
    void initRange(int id, double min, double max, double value);

    // The control with that id, or null.
    ParamSelect* control(int id) const;
    const std::vector<ParamSelect*>& controls() const { return params; }

signals:
    void valueChanged(int which, double value);

public slots:
    void controlChanged(int which, double value);
    void on_ComputeFeaturesButton_clicked();
    void on_RefineClusterButton_clicked();
    void on_ComputeTransformsButton_clicked();
    void on_SaveTransformsButton_clicked();
    void on_ComputeMeanShiftButton_clicked();
    void on_VerifyTransformationsButton_clicked();
    void on_GraphCutRelabelButton_clicked();
    void on_SampleCorrespButton_clicked();
    void on_FeatureViewerButton_clicked();

private:
    void buildForm();

    std::vector<ParamSelect*> params;  // owned through the Qt parent
};

}  // namespace veltrix
