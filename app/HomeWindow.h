// The application's main window: preview with framing overlay and playback
// bar, log panel, settings column (input, output, model, times, flips and the
// developer parameters), connection panel, menu bar, and the convert-and-upload
// workflow. The code is split by concern:
//   HomeWindow.cpp          construction, layout, playback bar, connection, busy view
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

#include <atomic>
#include <functional>
#include <memory>

class ConnectionManager;
class FanViewWidget;
struct FanViewParams;
class QAbstractButton;
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
class QToolButton;
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
    bool isBusy() const { return busy.load(); }
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
    QGroupBox* buildConnectionPanel();
    void initialSync();
    void onConnectStateChanged(bool isConnected, const QString& model);
    void onFlipClicked();
    void showStatus(const QString& text, bool good);
    void clearStatus();
    void updateDeviceView();
    // The playback bar may show: a video whose duration the player knows.
    bool playbackBarAllowed() const;
    void revealPlaybackBar();
    void togglePlayback();
    void setTimeFromPosition(QTimeEdit* edit);
    void updateFramingButtons();
    void installShortcuts();

    // Models and parameters (HomeWindowModels.cpp)
    QComboBox* buildModelSelector();
    QWidget* buildParameterPanel();

    // File choice (HomeWindowInput.cpp)
    void loadInput(const QString& path);
    void onInputTyped();
    void clearInput();
    void onPlayerFileFailed(const QString& path);
    QString mediaFilter() const;
    void showMediaInformation();
    void showBusyRefusal();

    // Workflow (HomeWindowConvert.cpp)
    QGroupBox* buildSettingsPanel();
    ConvertRequest requestFromSettings() const;
    void connectController();
    void onJobFinished(JobOutcome outcome, const QString& path);
    void onFilesDropped(const QStringList& paths);

    // Fan view (HomeWindowFanView.cpp)
    QAbstractButton* buildFanViewSwitch(QWidget* panel);

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
    int shownJob = 0;              // the controller's job that the window shows
    bool jobUploads = false;       // the running job's file is being uploaded
    ConvertResult convertedResult; // the running job's conversion result
    QString lastFanFile;           // the latest finished fan file and its model, for the fan view
    QString lastFanModel;

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
    bool useNativeDialogs = true;
    // The input last handed to the player, and whether the player refused it.
    QString loadedInput;
    bool inputFailed = false;
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
    QPushButton* playPauseButton = nullptr;
    QPushButton* resetFramingButton = nullptr;

    // Log
    QGroupBox* logPanel = nullptr;
    QTextEdit* logView = nullptr;

    // Fan view
    FanViewWidget* fanView = nullptr;
    QPushButton* fanViewButton = nullptr;

    // Connection
    QGroupBox* connectionPanel = nullptr;
    QLabel* stateLabel = nullptr;
    QLabel* stateIcon = nullptr;
    QPushButton* refreshButton = nullptr;
    QLabel* deviceInfoLabel = nullptr;

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
    QWidget* statusArea = nullptr;
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
