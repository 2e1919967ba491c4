// Fan model selector, model presets and the developer parameter panel.
#include "HomeWindow.h"

#include "FanViewWidget.h"
#include "fan_models.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QScrollBar>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

// The open model list shows each model's geometry beside its name; the item's
// text stays the bare name, which selection by name and the job rely on.
class ModelItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString details = index.data(HomeWindow::ModelDetailsRole).toString();
        if (!details.isEmpty())
            option->text = QStringLiteral("%1   %2").arg(option->text, details);
    }
};

} // namespace

QString HomeWindow::presetText(int lights, int lines, int colorDeep)
{
    return QStringLiteral("{ \"lights\": %1, \"lines\": %2, \"colorDeep\": %3 }")
        .arg(lights)
        .arg(lines)
        .arg(colorDeep);
}

QComboBox* HomeWindow::buildModelSelector()
{
    auto* selector = new QComboBox(this);
    selector->setObjectName(QStringLiteral("modelSelector"));
    // Connected before the items go in: the first item becomes current while
    // the parameter panel does not exist yet, and applying its preset then
    // changes nothing; the initial synchronisation applies it again.
    connect(selector, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &HomeWindow::onModelChanged);
    for (int i = 0; i < fan_model_count(); ++i) {
        const fan_model* model = fan_model_at(i);
        selector->addItem(QString::fromUtf8(model->name),
                          presetText(model->lights, model->lines, model->colorDeep));
        // Without a catalogue the key has no place-holders to fill.
        const QString details = tr("model_details");
        if (details.contains(QLatin1String("%3")))
            selector->setItemData(
                i, details.arg(model->lights).arg(model->lines).arg(model->colorDeep),
                ModelDetailsRole);
    }
    selector->setItemDelegate(new ModelItemDelegate(selector));
    // Wide enough for the longest name and the arrow, whatever the column.
    selector->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // The open list is as wide as its widest line with the details, which
    // may be wider than the selector itself.
    QAbstractItemView* list = selector->view();
    list->setMinimumWidth(list->sizeHintForColumn(0) +
                          list->verticalScrollBar()->sizeHint().width() + 2 * list->frameWidth() +
                          8);
    modelSelector = selector;
    return selector;
}

QWidget* HomeWindow::buildParameterPanel()
{
    parameterPanel = new QWidget(this);
    parameterPanel->setObjectName(QStringLiteral("parameterPanel"));
    parameterPanel->setMaximumWidth(270);
    auto* layout = new QVBoxLayout(parameterPanel);
    layout->setContentsMargins(0, 0, 0, 0);

    auto addRow = [&](const QString& label, QWidget* box, bool last) {
        auto* text = new QLabel(label, parameterPanel);
        text->setWordWrap(true);
        layout->addWidget(text);
        layout->addWidget(box);
        if (!last)
            layout->addSpacing(8);
    };
    auto intBox = [&](const char* name, int max, int step, int value, bool tracking) {
        auto* box = new QSpinBox(parameterPanel);
        box->setObjectName(QLatin1String(name));
        box->setRange(0, max);
        box->setSingleStep(step);
        box->setValue(value);
        box->setKeyboardTracking(tracking);
        return box;
    };
    auto doubleBox = [&](const char* name, double min, double max, double value) {
        auto* box = new QDoubleSpinBox(parameterPanel);
        box->setObjectName(QLatin1String(name));
        box->setRange(min, max);
        box->setDecimals(3);
        box->setSingleStep(0.1);
        box->setValue(value);
        box->setKeyboardTracking(false);
        return box;
    };

    lightsSpin = intBox("lightsSpin", 99999, 1, 0, true);
    linesSpin = intBox("linesSpin", 99999, 1, 0, true);
    colorDeepSpin = intBox("colorDeepSpin", 32, 1, 0, true);
    gammaSpin = doubleBox("gammaSpin", 1.0, 5.0, 2.2);
    minBrightnessSpin = doubleBox("minBrightnessSpin", 0.0, 1.0, 0.3);
    radiusSpin = intBox("radiusSpin", 520, 20, 10, false);

    addRow(tr("lights"), lightsSpin, false);
    addRow(tr("lines"), linesSpin, false);
    addRow(tr("color_deep"), colorDeepSpin, false);
    addRow(tr("light_detail"), gammaSpin, false);
    addRow(tr("light_adjust_min_brightness"), minBrightnessSpin, false);
    addRow(tr("light_adjust_radius"), radiusSpin, true);
    layout->addStretch();
    return parameterPanel;
}

void HomeWindow::onModelChanged(int index)
{
    if (!modelSelector || index < 0)
        return;
    applyModelPreset(modelSelector->itemData(index, Qt::UserRole).toString());
    // A file shown in the fan view was made for another model.
    if (fanView)
        fanView->showLive();
}

void HomeWindow::applyModelPreset(const QString& preset)
{
    if (preset.isEmpty())
        return;
    const QJsonDocument doc = QJsonDocument::fromJson(preset.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject object = doc.object();
    const int lights = object.value(QLatin1String("lights")).toInt(0);
    const int lines = object.value(QLatin1String("lines")).toInt(0);
    const int colorDeep = object.value(QLatin1String("colorDeep")).toInt(0);

    if (lightsSpin)
        lightsSpin->setValue(lights);
    if (linesSpin)
        linesSpin->setValue(lines);
    if (colorDeepSpin)
        colorDeepSpin->setValue(colorDeep);
    if (radiusSpin)
        radiusSpin->setRange(0, lights); // clamps the value into the new range
}
