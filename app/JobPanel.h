// The job widgets of the settings column: a progress bar for the running
// job's stage, its Cancel button (Escape does the same), where the last fan
// file went, and the list of dropped files converted one after another with
// the result of each. It follows a ConversionController and asks it to cancel
// or to drop the waiting jobs; it also catches files dropped on the window.
#pragma once

#include <QHash>
#include <QStringList>
#include <QWidget>

class ConversionController;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
enum class JobStage;
enum class JobOutcome;

class JobPanel : public QWidget {
    Q_OBJECT
public:
    JobPanel(ConversionController* controller, QWidget* parent = nullptr);

    // Lists a job of the drop queue; its line follows the job to its result.
    void track(int id, const QString& inputPath);
    // Says where a fan file went, as a link that asks to open its folder;
    // note, when set, comes first: why the file is not in the chosen folder,
    // why the fan did not take it, what became of it on the fan.
    void showResultPath(const QString& path, const QString& note);
    void clearResultPath();
    // The height the panel takes while a job runs and after it, with a
    // result of three lines: what a window should leave room for.
    int busyHeight() const;
    // The panel's widgets that take focus, in the order Tab visits them.
    QList<QWidget*> focusChain() const;
    // The shown path with a break opportunity after every folder separator,
    // so that a long path wraps at its folders instead of being cut.
    static QString breakablePath(const QString& nativePath);
    // Accepts media files dragged onto target and reports them dropped.
    void acceptDropsOn(QWidget* target);

    // Media files a drop would accept.
    static QStringList mediaFiles(const QList<QUrl>& urls);

signals:
    void openFolderRequested(QString dir);
    // The result line's second link: show this fan file in the fan view.
    void fanViewRequested(QString path);
    void filesDropped(QStringList paths);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onStarted(int id);
    void onProgress(int id, JobStage stage, int percent);
    void onConverted(int id, bool uploading);
    void onFinished(int id, JobOutcome outcome);
    void setLine(int id, const QString& state);
    void clearList();
    static QString text(const char* key);

    ConversionController* controller = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QLabel* pathLabel = nullptr;
    QWidget* queueBox = nullptr;
    QListWidget* queueList = nullptr;
    QPushButton* clearButton = nullptr;
    QString resultPath; // the file the result line names
    QHash<int, QListWidgetItem*> lines;
    QHash<int, QString> names;
    QHash<int, bool> uploading;
};
