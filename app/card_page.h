#pragma once

// The Card tab: the readers as they come and go, what the card in the
// chosen one holds, and the buttons that load the chosen CAP file onto it,
// delete from it, list it again and set the keys; an application's context
// menu locks, unlocks or makes it the default. Every card operation runs
// on a worker thread, so that the window stays responsive; what the card
// says goes to the report pane, a refusal to the error box.

#include "core/card/session.h"

#include <QDialog>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QComboBox;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace tolvane {
class ReportSink;
struct LoadFile;
namespace card {
struct CardContents;
}
namespace pcsc {
class ReaderWatch;
}
namespace runtime {
class SimulatedCard;
}
namespace exp {
class ExportPath;
}
} // namespace tolvane

// What the Keys dialog sets. The typed keys live only as long as the
// window; the other choices are kept in the settings file.
struct CardKeys {
    unsigned keyVersion = 0;
    tolvane::gp::Diversification diversification = tolvane::gp::Diversification::None;
    std::optional<tolvane::gp::Protocol> protocol; // none: as the card says
    tolvane::gp::SecurityLevel level = tolvane::gp::SecurityLevel::Mac;
    std::optional<tolvane::gp::StaticKeys> typed; // none: the default test key

    tolvane::card::ChannelOptions channelOptions() const;
};

// The Keys dialog.
class TKeysDialog : public QDialog {
    Q_OBJECT
public:
    TKeysDialog(QWidget* parent, const CardKeys& keys);
    // The keys as set; nothing where what was typed is no key (the dialog
    // says what is wrong and stays open).
    std::optional<CardKeys> result() const;

    QLineEdit* Edit_KeyVersion;
    QComboBox* ComboBox_Diversification;
    QComboBox* ComboBox_Channel;
    QComboBox* ComboBox_Security;
    QRadioButton* Radio_DefaultKey;
    QRadioButton* Radio_TypedKey;
    QLineEdit* Edit_KeyEnc;
    QLineEdit* Edit_KeyMac;
    QLineEdit* Edit_KeyDek;
    QLabel* Label_Problem;

    void accept() override;
};

class TCardPage : public QWidget {
    Q_OBJECT
public:
    struct Hooks {
        std::function<std::string()> capPath;          // the chosen file
        std::function<void(const QString&)> showError; // the error box
        std::function<void()> showStructure;           // the Structure tab, for a refused package
        std::function<bool(const QString&)> confirm;   // a Yes or No question
        // Where the export files of imported packages are, for the checks.
        std::function<std::shared_ptr<const tolvane::exp::ExportPath>()> exports;
        // A card file for the simulated card (empty: cancelled), given the current one.
        std::function<QString(const QString&)> chooseCardFile;
    };
    TCardPage(QWidget* parent, tolvane::ReportSink& report, Hooks hooks);
    ~TCardPage() override;

    // Begins following the readers.
    void start();

    CardKeys keys;
    // Where the simulated card is kept; kept in the settings.
    QString simulatedCardFile;
    QComboBox* ComboBox_Readers;
    QLabel* Label_CardState;
    QTreeWidget* TreeView_Card;
    QPushButton* cxButton_LoadOntoCard;
    QPushButton* cxButton_CardDelete;
    QPushButton* cxButton_CardRefresh;
    QPushButton* cxButton_CardKeys;
    QPushButton* cxButton_CardCancel;
    QPushButton* cxButton_CardFile; // the simulated card's file, while it is chosen
    QProgressBar* ProgressBar_Load;
    QMenu* Menu_Application; // an application row's context menu
    QAction* Action_Lock;
    QAction* Action_Unlock;
    QAction* Action_MakeDefault;

    void loadOntoCardClick();
    void deleteClick();
    void refreshClick();
    void keysClick();
    void lockClick();
    void unlockClick();
    void makeDefaultClick();
    void cardFileClick();
    // Whether the simulated card is the one chosen.
    bool simulatedChosen() const;

    // Whether card work is under way.
    bool busy() const { return busy_; }

signals:
    // After each operation, ended well or not.
    void operationEnded();

private:
    // Runs `job` on the worker thread with a session whose secure channel is
    // open, then lists the card again; where only that listing fails, the
    // error begins with `succeeded`.
    void runJob(const QString& what, const QString& succeeded,
                std::function<void(tolvane::card::Session&, std::atomic<bool>& cancelled)> job);
    void showReaders(const std::vector<std::pair<std::string, bool>>& readers, const QString& problem);
    void showContents(const tolvane::card::CardContents& contents);
    void showApplicationMenu(const QPoint& at);
    // The AID of the selected application row; an error where none is.
    QString selectedApplication() const;
    // Asks `question`, then runs `job` on the application, as Delete does.
    void changeApplication(const QString& question, const QString& doing, const QString& succeeded,
                           std::function<void(tolvane::card::Session&, const tolvane::card::ByteVector&)> job);
    void post(std::function<void()> work);
    void setBusy(bool busy);
    // The simulated card, kept in its card file; Error where the file is refused.
    tolvane::runtime::SimulatedCard& simulatedCard();
    void labelSimulatedCard();

    tolvane::ReportSink& report_;
    Hooks hooks_;
    std::thread worker_;
    std::thread watcher_;
    std::unique_ptr<tolvane::pcsc::ReaderWatch> watch_;
    std::atomic<bool> cancelled_{false};
    bool busy_ = false;
    bool problemShown_ = false;
    std::shared_ptr<std::atomic<bool>> alive_;
    std::unique_ptr<tolvane::runtime::SimulatedCard> simulated_;
    bool simulatedPicked_ = false; // the user chose the simulated card
};
