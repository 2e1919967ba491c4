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
    // fallbackReason, when set, says why it is not in the chosen folder.
    void showResultPath(const QString& path, const QString& fallbackReason);
    void clearResultPath();
    // Accepts media files dragged onto target and reports them dropped.
    void acceptDropsOn(QWidget* target);

    // Media files a drop would accept.
    static QStringList mediaFiles(const QList<QUrl>& urls);

signals:
    void openFolderRequested(QString dir);
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
    QHash<int, QListWidgetItem*> lines;
    QHash<int, QString> names;
    QHash<int, bool> uploading;
};
