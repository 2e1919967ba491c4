// The fan view switch: shows inside the framing circle what the fan will
// show for the current frame, with the selected model's geometry and the
// parameter panel's brightness values.
#include "HomeWindow.h"

#include "FanPreview.h"
#include "FanViewWidget.h"
#include "MPVWidget.h"
#include "OverlayWidget.h"
#include "fan_models.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QSpinBox>
#include <QPushButton>

namespace {

// The job description carries the brightness values with two decimals; the
// fan view uses what the conversion will use.
double asInJob(double value) { return QString::number(value, 'f', 2).toDouble(); }

} // namespace

QAbstractButton* HomeWindow::buildFanViewSwitch(QWidget* panel)
{
    fanView = new FanViewWidget(mpvWidget, videoContainer);
    fanView->setObjectName(QStringLiteral("fanView"));
    fanView->setOverlay(overlay);
    fanView->setParamsSource([this] { return fanViewParams(); });

    fanViewButton = new QPushButton(panel);
    fanViewButton->setObjectName(QStringLiteral("fanViewButton"));
    fanViewButton->setText(tr("fan_view"));
    fanViewButton->setToolTip(tr("fan_view_tip"));
    fanViewButton->setCheckable(true);
    connect(fanViewButton, &QPushButton::toggled, fanView, &FanViewWidget::setActive);
    connect(fanView, &FanViewWidget::activeChanged, fanViewButton, &QPushButton::setChecked);
    connect(fanView, &FanViewWidget::shownFileChanged, this, &HomeWindow::onFanViewFileChanged);

    // F switches the view from anywhere in the window; text fields keep the
    // letter for typing (eventFilter).
    auto* toggle = new QAction(this);
    toggle->setObjectName(QStringLiteral("fanViewAction"));
    toggle->setShortcut(QKeySequence(Qt::Key_F));
    toggle->setShortcutContext(Qt::WindowShortcut);
    connect(toggle, &QAction::triggered, fanViewButton, &QPushButton::toggle);
    addAction(toggle);
    return fanViewButton;
}

// While the fan view shows a file instead of the live picture, the preview
// says which; any framing, model or playback change ends that state.
void HomeWindow::onFanViewFileChanged(const QString& path)
{
    if (path.isEmpty()) {
        fanViewCaption->hide();
        return;
    }
    QString text = tr("fan_view_showing");
    const QString name = QFileInfo(path).fileName();
    // Without a catalogue the key has no place-holder to fill.
    text = text.contains(QLatin1String("%1")) ? text.arg(name) : text + QLatin1Char(' ') + name;
    fanViewCaption->setProperty("wholeText", text);
    fanViewCaption->setToolTip(QDir::toNativeSeparators(path));
    fanViewCaption->show();
    placePreviewCaptions();
}

FanViewParams HomeWindow::fanViewParams() const
{
    FanViewParams p;
    if (!lightsSpin || !linesSpin || !colorDeepSpin || !gammaSpin || !minBrightnessSpin ||
        !radiusSpin)
        return p;
    p.lights = lightsSpin->value();
    p.lines = linesSpin->value();
    p.colorDeep = colorDeepSpin->value();
    p.gamma = asInJob(gammaSpin->value());
    p.minBrightness = asInJob(minBrightnessSpin->value());
    // As in the job: the brightness radius counts only in developer mode.
    p.changeBrightnessLights = developerMode ? radiusSpin->value() : 0;
    return p;
}

bool HomeWindow::showFanFile(const QString& path, QString* error)
{
    return showFanFile(path, QString(), error);
}

bool HomeWindow::showFanFile(const QString& path, const QString& modelName, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (!fanView || !lightsSpin || !linesSpin || !colorDeepSpin) {
        *error = QStringLiteral("no fan view");
        return false;
    }
    // The file's own model when it is known (the selector may have moved on
    // since the conversion), else the selected one.
    FanGeometry geometry;
    geometry.lights = lightsSpin->value();
    geometry.lines = linesSpin->value();
    geometry.colorDeep = colorDeepSpin->value();
    if (const fan_model* model = fan_model_find(modelName.toUtf8().constData())) {
        geometry.lights = model->lights;
        geometry.lines = model->lines;
        geometry.colorDeep = model->colorDeep;
    }
    return fanView->showFanFile(path, geometry, error);
}
