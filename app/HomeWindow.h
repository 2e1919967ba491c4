// The application's main window: preview with framing overlay and playback
// bar, log panel, settings column (input, output, model, times, flips and the
// developer parameters), connection panel, menu bar, and the convert-and-upload
// workflow. The code is split by concern:
//   HomeWindow.cpp          construction, layout, playback bar, connection, busy view
//   HomeWindowModels.cpp    fan model selector, presets and the parameter panel
//   HomeWindowInput.cpp     file choice, loading into the player, media information
//   HomeWindowConvert.cpp   settings rows, conversion, upload
//   HomeWindowLanguage.cpp  menu bar, language switch, about box
#pragma once

#include "ConvertRequest.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class ConnectionManager;
class MPVWidget;
class OverlayWidget;
class Uploader;
class QAction;
class QActionGroup;
class QButtonGroup;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QMovie;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSettings;
class QSlider;
class QSpinBox;
class QTextEdit;
class QTimeEdit;
class ConversionController;
class JobPanel;
enum class JobOutcome;

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
    // Delays (ms): media information after a file choice (1000), playback bar
    // hiding (5000).
    void setMediaInfoDelay(int ms) { mediaInfoDelayMs = ms; }
    void setBarHideDelay(int ms) { barHideDelayMs = ms; }

    // What the file dialogs do with a chosen path (the dialogs only ask).
    void selectInputFile(const QString& path);
    void selectOutputFolder(const QString& dir);

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

    // Read-only state for observers.
    bool isDeveloperMode() const { return developerMode; }
    bool isBusy() const { return busy.load(); }
    ConversionController* conversionController() const { return controller; }
    bool isDeviceConnected() const { return connected; }
    bool isVideoInput() const { return isVideo; }
    double mediaDuration() const { return videoDuration; }
    MPVWidget* player() const { return mpvWidget; }

private slots:
    void updatePosition();
    void sliderMoved(int position);
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
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Construction (HomeWindow.cpp)
    void buildWindow();
    QWidget* buildVideoPanel();
    QGroupBox* buildLogPanel();
    QGroupBox* buildConnectionPanel();
    void initialSync();
    void onConnectStateChanged(bool isConnected, const QString& model);
    void onFlipClicked();
    void showStatus(const QString& text, bool good);

    // Models and parameters (HomeWindowModels.cpp)
    QComboBox* buildModelSelector();
    QWidget* buildParameterPanel();

    // File choice (HomeWindowInput.cpp)
    void showMediaInformation();
    void showBusyRefusal();

    // Workflow (HomeWindowConvert.cpp)
    QGroupBox* buildSettingsPanel();
    ConvertRequest requestFromSettings() const;
    void connectController();
    void onJobFinished(JobOutcome outcome, const QString& path);
    void onFilesDropped(const QStringList& paths);
    static QString formatClock(int totalSeconds);

    // Languages (HomeWindowLanguage.cpp)
    void buildMenuBar();
    void onLanguageTriggered(QAction* action);
    void askLanguageRestart(const QString& code);
    void checkLanguageAction(const QString& code);
    void showAbout();

    void runDialog(QMessageBox& box);

    // Run-time state
    bool developerMode = false;
    std::atomic<bool> busy {false};
    bool connected = false;
    bool isVideo = true;
    double videoDuration = 0.0;
    bool jobActive = false;        // between a job's start and its end
    bool jobUploads = false;       // the running job's file is being uploaded
    ConvertResult convertedResult; // the running job's conversion result

    ConnectionManager* connection = nullptr;
    Uploader* uploader = nullptr;
    ConversionController* controller = nullptr;
    JobPanel* jobPanel = nullptr;
    QSettings* settings = nullptr;
    QTimer hideTimer;
    QTimer positionTimer;
    QTimer mediaInfoTimer;

    // Hooks and delays
    DialogRunner dialogRunner;
    FolderOpener folderOpener;
    Restarter restarter;
    int mediaInfoDelayMs = 1000;
    int barHideDelayMs = 5000;
    int mediaInfoRetries = 0;
    static constexpr int kMediaInfoRetries = 10;

    // Video area
    QWidget* videoContainer = nullptr;
    MPVWidget* mpvWidget = nullptr;
    OverlayWidget* overlay = nullptr;
    QWidget* playbackBar = nullptr;
    QSlider* positionSlider = nullptr;
    QLabel* currentTimeLabel = nullptr;
    QLabel* totalTimeLabel = nullptr;

    // Log
    QGroupBox* logPanel = nullptr;
    QTextEdit* logView = nullptr;

    // Connection
    QGroupBox* connectionPanel = nullptr;
    QLabel* stateLabel = nullptr;
    QLabel* stateIcon = nullptr;
    QPushButton* refreshButton = nullptr;

    // Settings column
    QGroupBox* settingsPanel = nullptr;
    QScrollArea* scrollArea = nullptr;
    QLineEdit* inputField = nullptr;
    QLineEdit* outputField = nullptr;
    QComboBox* modelSelector = nullptr;
    QTimeEdit* startTimeEdit = nullptr;
    QTimeEdit* endTimeEdit = nullptr;
    QButtonGroup* flipGroup = nullptr;
    QRadioButton* hFlipButton = nullptr;
    QRadioButton* vFlipButton = nullptr;

    // Parameters
    QWidget* parameterPanel = nullptr;
    QSpinBox* lightsSpin = nullptr;
    QSpinBox* linesSpin = nullptr;
    QSpinBox* colorDeepSpin = nullptr;
    QDoubleSpinBox* gammaSpin = nullptr;
    QDoubleSpinBox* minBrightnessSpin = nullptr;
    QSpinBox* radiusSpin = nullptr;

    // Status and busy display
    QLabel* statusLabel = nullptr;
    QLabel* loadingLabel = nullptr;
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
