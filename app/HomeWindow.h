// The application's main window: preview with framing overlay and playback
// bar, log panel, settings column (input, output, model, times, flips and the
// developer parameters), connection panel, menu bar, and the convert-and-upload
// workflow. The playback bar (PlaybackBar), the connection panel
// (ConnectionPanel) and the job widgets (JobPanel) are classes of their own.
// The code is split by concern:
//   HomeWindow.cpp          construction, layout, keyboard, connection, busy view
//   HomeWindowModels.cpp    fan model selector, presets and the parameter panel
//   HomeWindowInput.cpp     file choice, loading into the player, media information
//   HomeWindowConvert.cpp   settings rows, the checks behind convert, showing the
//                           jobs of the ConversionController, dropped files
//   HomeWindowLanguage.cpp  menu bar, language switch, about box
#pragma once

#include "ConvertRequest.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class ConnectionManager;
class MediaProbe;
class ConnectionPanel;
class FanViewWidget;
class PlaybackBar;
struct FanViewParams;
class QAbstractButton;
class MPVWidget;
class OverlayWidget;
class Uploader;
class QAction;
class QActionGroup;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QMovie;
class QPushButton;
class QScrollArea;
class QSettings;
class QSlider;
class QSpinBox;
class QTextEdit;
class QTimeEdit;
class QToolButton;
class ConversionController;
class JobPanel;
enum class JobOutcome;
enum class JobStage;

class HomeWindow : public QMainWindow {
    Q_OBJECT
public:
    // connection: the device link the window follows and converts for; none
    // means the process-wide ConnectionManager::instance().
    explicit HomeWindow(ConnectionManager* connection = nullptr, QWidget* parent = nullptr);
    ~HomeWindow() override;

    // --- Hooks for embedding and tests (defaults are the desktop behaviour) ---
    // Runs a prepared modal message box; the default calls exec(). A runner
    // that does not exec() may click one of the box's buttons instead.
    using DialogRunner = std::function<void(QMessageBox& box)>;
    void setDialogRunner(DialogRunner runner);
    // Opens a folder for the user; the default asks the desktop's handler
    // unless SPINDRA_NO_OPEN_FOLDER is set in the environment.
    using FolderOpener = std::function<void(const QString& dir)>;
    void setFolderOpener(FolderOpener opener);
    // Starts the program anew and ends this run; the default starts a detached
    // process and quits the event loop.
    using Restarter = std::function<void(const QString& program, const QStringList& arguments)>;
    void setRestarter(Restarter restarter);
    // Delays (ms): the longest wait for the player's report of a chosen
    // file's picture size before the log says it is not known (5000; the
    // information follows the player's reports, which usually come first),
    // playback bar hiding (5000).
    void setMediaInfoDelay(int ms) { mediaInfoDelayMs = ms; }
    void setBarHideDelay(int ms);
    // File dialogs: the platform's own (default) or Qt's widget dialogs.
    void setUseNativeDialogs(bool on) { useNativeDialogs = on; }

    // What the file dialogs do with a chosen path (the dialogs only ask).
    void selectInputFile(const QString& path);
    void selectOutputFolder(const QString& dir);
    // Whether the chosen input may be converted: false once the player has
    // reported that it cannot open the file named in the input field.
    bool inputReadable() const;

    // --- Operations shared by the window's concerns ---
    void showMessage(const QString& title, const QString& text);
    void updateConnectionView();
    void beginBusyView();
    void endBusyView();
    void layoutVideoSquare();
    // Fills the geometry spin boxes from a preset text such as
    // { "lights": 116, "lines": 520, "colorDeep": 6 }.
    void applyModelPreset(const QString& preset);
    // The preset text of one model.
    static QString presetText(int lights, int lines, int colorDeep);
    // Item data of the model selector: "116 LEDs · 520 lines · 6-bit colour".
    static constexpr int ModelDetailsRole = Qt::UserRole + 1;

    // Read-only state for observers.
    bool isDeveloperMode() const { return developerMode; }
    // A job's conversion runs (from its start until its conversion result).
    bool isBusy() const { return job.phase == JobPhase::Converting; }
    ConversionController* conversionController() const { return controller; }
    bool isDeviceConnected() const { return connected; }
    bool isVideoInput() const { return isVideo; }
    double mediaDuration() const { return videoDuration; }
    MPVWidget* player() const { return mpvWidget; }
    FanViewWidget* fanViewWidget() const { return fanView; }

    // Fan view (HomeWindowFanView.cpp): shows the first frame of a fan file
    // made for the selected model in the fan view and switches the view on.
    // False with *error set when the file cannot be read.
    bool showFanFile(const QString& path, QString* error = nullptr);
    // The same with the geometry of a model of the table (empty or unknown:
    // the selected model's).
    bool showFanFile(const QString& path, const QString& modelName, QString* error);
    // What the fan view uses: the parameter panel's values as a job gets them.
    FanViewParams fanViewParams() const;

private slots:
    void updateProcessResult(bool result, QString info, QString path);
    void updateDebugMode();

public slots:
    void onModelChanged(int index);
    void clickSelectFolder();
    void clickSelectOutFolder();
    void clickStart();
    void reloadDeviceInfo();
    void onLogOutputCb(QString log);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Construction (HomeWindow.cpp)
    void buildWindow();
    QWidget* buildVideoPanel();
    QGroupBox* buildLogPanel();
    QWidget* buildStatusArea(QWidget* parent);
    void initialSync();
    void onConnectStateChanged(bool isConnected, const QString& model);
    void onFlipClicked();
    enum class StatusTone { Good, Bad, Neutral };
    void showStatus(const QString& text, bool good);
    void showStatus(const QString& text, StatusTone tone);
    void fitStatusText();
    void clearStatus();
    void updatePlaybackBar();
    void onDurationChanged(double seconds);
    void onPlaybackChanged();
    void setTimeFromPosition(QTimeEdit* edit);
    void updateFramingButtons();
    void installShortcuts();
    void orderTabs();
    void placePreviewCaptions();
    void fitWindowToLayout();

    // Models and parameters (HomeWindowModels.cpp)
    QComboBox* buildModelSelector();
    QWidget* buildParameterPanel();

    // File choice (HomeWindowInput.cpp)
    void loadInput(const QString& path);
    void onInputTyped();
    void clearInput();
    void onPlayerFileOpened(const QString& path);
    void onPlayerFileFailed(const QString& path);
    void onInputProbed(const MediaFacts& facts);
    // The loaded file's facts, probed now when the probe has not answered yet.
    const MediaFacts& loadedFacts();
    QString unreadableText() const;
    QString mediaFilter() const;
    void updateMediaInformation();
    void onMediaInfoDeadline();
    void showBusyRefusal();

    // Workflow (HomeWindowConvert.cpp)
    QGroupBox* buildSettingsPanel();
    ConvertRequest requestFromSettings() const;
    void connectController();
    void onJobProgress(int id, JobStage stage, int percent);
    void onJobFinished(JobOutcome outcome, const QString& path, const QString& message);
    void onFilesDropped(const QStringList& paths);

    // Fan view (HomeWindowFanView.cpp)
    QAbstractButton* buildFanViewSwitch(QWidget* panel);
    void onFanViewFileChanged(const QString& path);

    // Languages (HomeWindowLanguage.cpp)
    void buildMenuBar();
    void onLanguageTriggered(QAction* action);
    void askLanguageRestart(const QString& code);
    void checkLanguageAction(const QString& code);
    void showAbout();
    // What a language restart brings back: the loaded file, its times, the
    // framing, the flips and the model.
    void keepForRestart();
    void restoreAfterRestart();
    void restoreFileState();

    void runDialog(QMessageBox& box);

    // Run-time state
    bool developerMode = false;
    bool connected = false;
    bool isVideo = true;
    double videoDuration = 0.0;
    // The job the window shows, from the convert press (or a queued job's
    // start) until its end: its id, how far it is, and its conversion result.
    enum class JobPhase { None, Converting, Uploading };
    struct ShownJob {
        int id = 0;
        JobPhase phase = JobPhase::None;
        ConvertResult converted;
        QString notice; // the controller's word said as the job was named
    } job;
    QString pendingNotice; // said before the job it concerns has started
    QString lastFanFile;   // the latest finished fan file and its model, for the fan view
    QString lastFanModel;

    ConnectionManager* connection = nullptr;
    Uploader* uploader = nullptr;
    ConversionController* controller = nullptr;
    JobPanel* jobPanel = nullptr;
    QSettings* settings = nullptr;
    QTimer mediaInfoTimer;

    // Hooks and delays
    DialogRunner dialogRunner;
    FolderOpener folderOpener;
    Restarter restarter;
    int mediaInfoDelayMs = 5000;
    bool useNativeDialogs = true;
    // The input last handed to the player, and whether the player refused it.
    QString loadedInput;
    bool inputFailed = false;
    // What the probe found about the loaded input (none until it answers): it
    // decides whether the input is time-based (an animated GIF, a song with
    // its cover), how the preview shows it, and the conversion reads it.
    MediaProbe* inputProbe = nullptr;
    std::optional<MediaFacts> inputFacts;
    // The status line says that the typed path names no file.
    bool typedPathMissing = false;
    // What the log has said about the loaded file so far.
    struct MediaInfoShown {
        bool opened = false;
        bool sizeLogged = false;
        bool probed = false; // the probe has said whether the file is time-based
        bool durationApplied = false;
        bool sizeMissingLogged = false;
    } mediaInfo;
    // Brought back from before a language restart, until the file has opened.
    QVariantMap restoring;

    // Video area
    QWidget* videoContainer = nullptr;
    MPVWidget* mpvWidget = nullptr;
    OverlayWidget* overlay = nullptr;
    PlaybackBar* playbackBar = nullptr;
    QPushButton* resetFramingButton = nullptr;
    QLabel* fanViewCaption = nullptr;

    // Log
    QGroupBox* logPanel = nullptr;
    QTextEdit* logView = nullptr;

    // Fan view
    FanViewWidget* fanView = nullptr;
    QPushButton* fanViewButton = nullptr;

    // Connection
    ConnectionPanel* connectionPanel = nullptr;

    // Settings column
    QGroupBox* settingsPanel = nullptr;
    QScrollArea* scrollArea = nullptr;
    QLineEdit* inputField = nullptr;
    QLineEdit* outputField = nullptr;
    QComboBox* modelSelector = nullptr;
    QTimeEdit* startTimeEdit = nullptr;
    QTimeEdit* endTimeEdit = nullptr;
    QToolButton* startHereButton = nullptr;
    QToolButton* endHereButton = nullptr;
    QCheckBox* hFlipButton = nullptr;
    QCheckBox* vFlipButton = nullptr;

    // Parameters
    QWidget* parameterPanel = nullptr;
    QSpinBox* lightsSpin = nullptr;
    QSpinBox* linesSpin = nullptr;
    QSpinBox* colorDeepSpin = nullptr;
    QDoubleSpinBox* gammaSpin = nullptr;
    QDoubleSpinBox* minBrightnessSpin = nullptr;
    QSpinBox* radiusSpin = nullptr;

    // Status and busy display
    QWidget* statusArea = nullptr;
    QLabel* statusLabel = nullptr;
    StatusTone statusTone = StatusTone::Good;
    bool fittingStatus = false;
    QLabel* loadingLabel = nullptr;
    QWidget* loadingBalance = nullptr; // keeps the status text centred beside the animation
    QMovie* loadingMovie = nullptr;
    QPushButton* convertButton = nullptr;

    // Menu
    QActionGroup* languageGroup = nullptr;
    QAction* englishAction = nullptr;
    QAction* chineseAction = nullptr;
    QAction* russianAction = nullptr;
    QAction* aboutAction = nullptr;
    QString aboutVersion;
};
