#include "app/card_page.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/management.h"
#include "core/card/operations.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/gp/card_data.h"
#include "core/pcsc/pcsc.h"
#include "core/report/report_sink.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/card/simulated_card.h"
#include "core/runtime/card/simulated_transport.h"
#include "core/zip/archive.h"

#include <QFileInfo>

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The data of the simulated card's row among the readers.
const QString simulatedMarker = QStringLiteral("simulated:");

using tolvane::card::ByteVector;

std::string hex(const ByteVector& bytes)
{
    return tolvane::hexText(bytes, tolvane::HexCase::Upper);
}

// What a row of the card's tree stands for.
constexpr int aidRole = Qt::UserRole + 1;
constexpr int kindRole = Qt::UserRole + 2;
constexpr int dependentsRole = Qt::UserRole + 3;

QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

tolvane::card::ChannelOptions CardKeys::channelOptions() const
{
    tolvane::card::ChannelOptions options;
    const auto key = tolvane::gp::defaultTestKey();
    options.keys = typed.value_or(tolvane::gp::StaticKeys{key, key, key});
    options.keyVersion = keyVersion;
    options.diversification = diversification;
    options.protocol = protocol;
    options.level = level;
    return options;
}

TKeysDialog::TKeysDialog(QWidget* parent, const CardKeys& keys) : QDialog(parent)
{
    setObjectName("TKeysDialog");
    setWindowTitle("Keys");
    auto* form = new QFormLayout;
    Edit_KeyVersion = new QLineEdit(text(tolvane::byteHex(static_cast<std::uint8_t>(keys.keyVersion))), this);
    Edit_KeyVersion->setObjectName("Edit_KeyVersion");
    Edit_KeyVersion->setToolTip("One byte in hex; 00 is the card's default key set");
    form->addRow("Key version", Edit_KeyVersion);
    ComboBox_Diversification = new QComboBox(this);
    ComboBox_Diversification->setObjectName("ComboBox_Diversification");
    ComboBox_Diversification->addItems({"None", "EMV", "VISA2", "KDF3"});
    ComboBox_Diversification->setCurrentIndex(static_cast<int>(keys.diversification));
    form->addRow("Diversification", ComboBox_Diversification);
    ComboBox_Channel = new QComboBox(this);
    ComboBox_Channel->setObjectName("ComboBox_Channel");
    ComboBox_Channel->addItems({"As the card says", "SCP02", "SCP03"});
    ComboBox_Channel->setCurrentIndex(!keys.protocol ? 0 : *keys.protocol == tolvane::gp::Protocol::Scp02 ? 1 : 2);
    form->addRow("Secure channel", ComboBox_Channel);
    ComboBox_Security = new QComboBox(this);
    ComboBox_Security->setObjectName("ComboBox_Security");
    ComboBox_Security->addItems({"C-MAC", "C-MAC and encryption"});
    ComboBox_Security->setCurrentIndex(keys.level == tolvane::gp::SecurityLevel::Mac ? 0 : 1);
    form->addRow("Security level", ComboBox_Security);
    Radio_DefaultKey = new QRadioButton("The default test key (40 41 ... 4F)", this);
    Radio_DefaultKey->setObjectName("Radio_DefaultKey");
    Radio_TypedKey = new QRadioButton("This key (for this session only; never saved)", this);
    Radio_TypedKey->setObjectName("Radio_TypedKey");
    (keys.typed ? Radio_TypedKey : Radio_DefaultKey)->setChecked(true);
    form->addRow(Radio_DefaultKey);
    form->addRow(Radio_TypedKey);
    const auto keyEdit = [&](const char* name, const std::optional<ByteVector>& value) {
        auto* edit = new QLineEdit(value ? text(hex(*value)) : QString(), this);
        edit->setObjectName(name);
        edit->setEchoMode(QLineEdit::Password);
        edit->setPlaceholderText("hex; empty: the ENC key");
        return edit;
    };
    Edit_KeyEnc = keyEdit("Edit_KeyEnc", keys.typed ? std::optional(keys.typed->enc) : std::nullopt);
    Edit_KeyEnc->setPlaceholderText("hex: 16, 24 or 32 bytes");
    Edit_KeyMac = keyEdit("Edit_KeyMac", keys.typed ? std::optional(keys.typed->mac) : std::nullopt);
    Edit_KeyDek = keyEdit("Edit_KeyDek", keys.typed ? std::optional(keys.typed->dek) : std::nullopt);
    form->addRow("ENC (or all three)", Edit_KeyEnc);
    form->addRow("MAC", Edit_KeyMac);
    form->addRow("DEK", Edit_KeyDek);
    Label_Problem = new QLabel(this);
    Label_Problem->setObjectName("Label_Problem");
    Label_Problem->setStyleSheet("color: #b00000");
    form->addRow(Label_Problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

std::optional<CardKeys> TKeysDialog::result() const
{
    CardKeys keys;
    const auto version = tolvane::bytesFromHex(Edit_KeyVersion->text().trimmed().toStdString());
    if (!version || version->size() != 1)
        return std::nullopt;
    keys.keyVersion = (*version)[0];
    keys.diversification = static_cast<tolvane::gp::Diversification>(ComboBox_Diversification->currentIndex());
    const int channel = ComboBox_Channel->currentIndex();
    if (channel != 0)
        keys.protocol = channel == 1 ? tolvane::gp::Protocol::Scp02 : tolvane::gp::Protocol::Scp03;
    keys.level = ComboBox_Security->currentIndex() == 0 ? tolvane::gp::SecurityLevel::Mac
                                                        : tolvane::gp::SecurityLevel::MacAndEncryption;
    if (Radio_TypedKey->isChecked()) {
        const auto read = [](const QLineEdit* edit) {
            return tolvane::bytesFromHex(edit->text().toStdString(), tolvane::HexSpaces::Ignored);
        };
        const auto enc = read(Edit_KeyEnc);
        if (!enc || (enc->size() != 16 && enc->size() != 24 && enc->size() != 32))
            return std::nullopt;
        auto mac = Edit_KeyMac->text().isEmpty() ? enc : read(Edit_KeyMac);
        auto dek = Edit_KeyDek->text().isEmpty() ? enc : read(Edit_KeyDek);
        if (!mac || !dek || mac->size() != enc->size() || dek->size() != enc->size())
            return std::nullopt;
        keys.typed = tolvane::gp::StaticKeys{*enc, *mac, *dek};
    }
    return keys;
}

void TKeysDialog::accept()
{
    if (!result()) {
        Label_Problem->setText("The key version is one byte in hex, and each key 16, 24 or 32 bytes in hex, all "
                               "three the same length.");
        return;
    }
    QDialog::accept();
}

TCardPage::TCardPage(QWidget* parent, tolvane::ReportSink& report, Hooks hooks)
    : QWidget(parent), report_(report), hooks_(std::move(hooks)), alive_(std::make_shared<std::atomic<bool>>(true))
{
    setObjectName("TCardPage");
    ComboBox_Readers = new QComboBox(this);
    ComboBox_Readers->setObjectName("ComboBox_Readers");
    ComboBox_Readers->setToolTip("The card reader to use");
    Label_CardState = new QLabel(this);
    Label_CardState->setObjectName("Label_CardState");
    Label_CardState->setTextFormat(Qt::PlainText);
    TreeView_Card = new QTreeWidget(this);
    TreeView_Card->setObjectName("TreeView_Card");
    TreeView_Card->setHeaderLabels({"On the card", "State", "Privileges or version"});
    TreeView_Card->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    const auto button = [this](const QString& label, const char* name, const char* tip) {
        auto* made = new QPushButton(label, this);
        made->setObjectName(name);
        made->setToolTip(tip);
        return made;
    };
    cxButton_LoadOntoCard =
        button("Load onto card", "cxButton_LoadOntoCard", "Check the chosen CAP file, then load and install it");
    cxButton_CardDelete =
        button("Delete", "cxButton_CardDelete", "Delete the selected load file or application from the card");
    cxButton_CardRefresh = button("Refresh", "cxButton_CardRefresh", "List what the card holds again");
    cxButton_CardKeys = button(QString::fromUtf8("Keys\u2026"), "cxButton_CardKeys",
                               "The key set, the diversification and the secure channel");
    cxButton_CardCancel = button("Cancel", "cxButton_CardCancel", "Stop the load between two blocks");
    cxButton_CardFile = button(QString::fromUtf8("Card file\u2026"), "cxButton_CardFile",
                               "The file the simulated card is kept in: one kept before, or a new empty card");
    cxButton_CardFile->hide();
    ProgressBar_Load = new QProgressBar(this);
    ProgressBar_Load->setObjectName("ProgressBar_Load");
    ProgressBar_Load->setFormat("LOAD block %v of %m");
    ProgressBar_Load->hide();
    cxButton_CardCancel->hide();

    // One row of the reader and the buttons, so that the tree has the room
    // even in a window of the smallest height; the progress row shows only
    // while a load goes on.
    auto* top = new QHBoxLayout;
    top->addWidget(ComboBox_Readers, 1);
    for (auto* b : {cxButton_CardFile, cxButton_LoadOntoCard, cxButton_CardDelete, cxButton_CardRefresh, cxButton_CardKeys})
        top->addWidget(b);
    auto* progress = new QHBoxLayout;
    progress->addWidget(ProgressBar_Load, 1);
    progress->addWidget(cxButton_CardCancel);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    layout->addLayout(top);
    layout->addWidget(Label_CardState);
    layout->addWidget(TreeView_Card, 1);
    layout->addLayout(progress);

    const auto guarded = [this](void (TCardPage::*handler)()) {
        return [this, handler] {
            try {
                (this->*handler)();
            } catch (const std::exception& error) {
                hooks_.showError(text(tolvane::displayText(error)));
            }
        };
    };
    connect(cxButton_LoadOntoCard, &QPushButton::clicked, this, guarded(&TCardPage::loadOntoCardClick));
    connect(cxButton_CardDelete, &QPushButton::clicked, this, guarded(&TCardPage::deleteClick));
    connect(cxButton_CardRefresh, &QPushButton::clicked, this, guarded(&TCardPage::refreshClick));
    connect(cxButton_CardKeys, &QPushButton::clicked, this, guarded(&TCardPage::keysClick));
    connect(cxButton_CardCancel, &QPushButton::clicked, this, [this] { cancelled_ = true; });
    connect(cxButton_CardFile, &QPushButton::clicked, this, guarded(&TCardPage::cardFileClick));
    connect(ComboBox_Readers, &QComboBox::activated, this, [this] {
        // The simulated card stays chosen as readers come and go, once the
        // user chose it; a reader chosen leaves it.
        simulatedPicked_ = simulatedChosen();
        setBusy(busy_);
        // The simulated card asks for its file the first time it is chosen.
        if (simulatedChosen() && simulatedCardFile.isEmpty()) {
            cardFileClick();
            return;
        }
        try {
            refreshClick();
        } catch (const std::exception& error) {
            hooks_.showError(text(tolvane::displayText(error)));
        }
    });

    Menu_Application = new QMenu(TreeView_Card);
    Menu_Application->setObjectName("Menu_Application");
    Action_Lock = Menu_Application->addAction("Lock");
    Action_Unlock = Menu_Application->addAction("Unlock");
    Action_MakeDefault = Menu_Application->addAction("Make default");
    connect(Action_Lock, &QAction::triggered, this, guarded(&TCardPage::lockClick));
    connect(Action_Unlock, &QAction::triggered, this, guarded(&TCardPage::unlockClick));
    connect(Action_MakeDefault, &QAction::triggered, this, guarded(&TCardPage::makeDefaultClick));
    TreeView_Card->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(TreeView_Card, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { showApplicationMenu(at); });
    // The simulated card is there before any reader is.
    ComboBox_Readers->addItem("Simulated card", simulatedMarker);
    labelSimulatedCard();
    setBusy(false);
}

TCardPage::~TCardPage()
{
    *alive_ = false;
    cancelled_ = true;
    if (watch_)
        watch_->cancel();
    if (watcher_.joinable())
        watcher_.join();
    if (worker_.joinable())
        worker_.join();
}

void TCardPage::post(std::function<void()> work)
{
    // Runs on the window's thread, unless the page is gone by then.
    QMetaObject::invokeMethod(
        this,
        [alive = alive_, work = std::move(work)] {
            if (*alive)
                work();
        },
        Qt::QueuedConnection);
}

void TCardPage::start()
{
    labelSimulatedCard();
    try {
        watch_ = std::make_unique<tolvane::pcsc::ReaderWatch>();
    } catch (const std::exception& error) {
        showReaders({}, text(tolvane::displayText(error.what())));
        return;
    }
    watcher_ = std::thread([this, alive = alive_] {
        // Until the page goes: each change of the readers, as the service
        // tells it. Where there is no service, that is said once.
        while (*alive) {
            std::vector<std::pair<std::string, bool>> readers;
            QString problem;
            try {
                for (const auto& reader : watch_->waitForChange())
                    readers.emplace_back(reader.name, reader.cardPresent);
            } catch (const std::exception& error) {
                problem = text(tolvane::displayText(error.what()));
            }
            if (!*alive)
                return;
            post([this, readers, problem] { showReaders(readers, problem); });
            if (!problem.isEmpty())
                return;
        }
    });
}

void TCardPage::showReaders(const std::vector<std::pair<std::string, bool>>& readers, const QString& problem)
{
    const QString chosen = ComboBox_Readers->currentText();
    bool chosenHasCard = false;
    ComboBox_Readers->clear();
    int withCard = -1;
    for (const auto& [name, card] : readers) {
        ComboBox_Readers->addItem(text(name) + (card ? "" : " (no card)"), text(name));
        if (card && withCard < 0)
            withCard = ComboBox_Readers->count() - 1;
        if (text(name) + (card ? "" : " (no card)") == chosen)
            chosenHasCard = card;
    }
    // The simulated card, after the readers.
    const bool simulatedWasChosen = simulatedPicked_;
    ComboBox_Readers->addItem("Simulated card", simulatedMarker);
    labelSimulatedCard();
    // The reader chosen stays chosen while it holds a card; else the first
    // that holds one. The simulated card stays chosen.
    const int kept = ComboBox_Readers->findText(chosen);
    ComboBox_Readers->setCurrentIndex(simulatedWasChosen                ? ComboBox_Readers->count() - 1
                                      : kept >= 0 && chosenHasCard     ? kept
                                      : withCard >= 0                  ? withCard
                                                                       : 0);
    if (!problem.isEmpty())
        Label_CardState->setText(problem.left(1).toUpper() + problem.mid(1));
    else if (readers.empty())
        Label_CardState->setText("No card reader is connected.");
    else if (withCard < 0)
        Label_CardState->setText("No reader holds a card.");
    else
        Label_CardState->setText(QString());
    // Said in the tab, where the tree would be; the tree takes the room back.
    Label_CardState->setVisible(!Label_CardState->text().isEmpty());
    if (simulatedWasChosen) {
        Label_CardState->setVisible(false);
        setBusy(busy_);
        return;
    }
    const bool hasCard = withCard >= 0;
    if (!hasCard)
        TreeView_Card->clear();
    setBusy(busy_);
    if (hasCard && !busy_ && (kept < 0 || !chosenHasCard || TreeView_Card->topLevelItemCount() == 0))
        refreshClick();
}

void TCardPage::setBusy(bool busy)
{
    busy_ = busy;
    const bool card = simulatedChosen() ? !simulatedCardFile.isEmpty()
                                        : ComboBox_Readers->count() > 0 &&
                                              !ComboBox_Readers->currentText().endsWith(" (no card)");
    cxButton_CardFile->setVisible(simulatedChosen());
    cxButton_CardFile->setEnabled(!busy);
    cxButton_LoadOntoCard->setEnabled(!busy && card);
    cxButton_CardDelete->setEnabled(!busy && card);
    cxButton_CardRefresh->setEnabled(!busy && card);
    cxButton_CardKeys->setEnabled(!busy);
    ComboBox_Readers->setEnabled(!busy);
    cxButton_CardCancel->setVisible(busy && ProgressBar_Load->isVisible());
}

void TCardPage::runJob(const QString& what, const QString& succeeded,
                       std::function<void(tolvane::card::Session&, std::atomic<bool>& cancelled)> job)
{
    if (busy_)
        return;
    if (worker_.joinable())
        worker_.join();
    const bool simulated = simulatedChosen();
    // The simulated card is opened here, on the window's thread, so that a
    // card file it refuses is said at once; the worker alone uses it after.
    tolvane::runtime::SimulatedCard* card = simulated ? &simulatedCard() : nullptr;
    const std::string reader = simulated ? "Simulated card" : ComboBox_Readers->currentData().toString().toStdString();
    if (reader.empty())
        throw tolvane::Error(tolvane::ErrorKind::Card, "", "no reader holds a card");
    cancelled_ = false;
    setBusy(true);
    report_.appendLine(what.toStdString() + " (" + reader + ")");
    const tolvane::card::ChannelOptions options = keys.channelOptions();
    const bool defaultKey = !keys.typed;
    worker_ = std::thread([this, reader, card, options, succeeded, defaultKey, job = std::move(job)] {
        std::string failure, listingFailure;
        std::optional<tolvane::card::CardContents> contents;
        try {
            std::unique_ptr<tolvane::card::Transport> transport;
            if (card)
                transport = std::make_unique<tolvane::runtime::SimulatedTransport>(*card);
            else
                transport = tolvane::pcsc::connect(reader, [this](const std::string& notice) {
                    post([this, notice] { report_.appendLine(" " + notice); });
                });
            tolvane::card::Session session(*transport, [this](const tolvane::card::Exchange& exchange) {
                const std::string meaning = tolvane::gp::statusMeaning(exchange.response.sw);
                const std::string line = " " + exchange.kind + ": " + tolvane::card::swText(exchange.response.sw) +
                                         (meaning.empty() ? "" : " (" + meaning + ")");
                post([this, line] { report_.appendLine(line); });
            });
            session.selectSecurityDomain({0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00});
            if (defaultKey)
                post([this] { report_.appendLine(" No key given: using the default test key 40..4F"); });
            session.openSecureChannel(options);
            job(session, cancelled_);
            // The job is done whatever the listing after it meets.
            try {
                contents = tolvane::card::listContents(session);
            } catch (const std::exception& error) {
                listingFailure = tolvane::displayText(error.what());
            }
        } catch (const std::exception& error) {
            failure = tolvane::displayText(error.what());
        }
        post([this, failure, listingFailure, succeeded, contents] {
            if (contents)
                showContents(*contents);
            ProgressBar_Load->hide();
            setBusy(false);
            if (!failure.empty()) {
                report_.appendLine(" Error: " + failure);
                hooks_.showError(text(failure));
            } else if (!listingFailure.empty()) {
                const std::string said =
                    succeeded.isEmpty()
                        ? listingFailure
                        : succeeded.toStdString() + "; listing the card afterwards failed: " + listingFailure;
                report_.appendLine(" Error: " + said);
                hooks_.showError(text(said));
            } else {
                report_.appendLine(" Done.");
            }
            emit operationEnded();
        });
    });
}

void TCardPage::showContents(const tolvane::card::CardContents& contents)
{
    TreeView_Card->clear();
    const auto row = [](QTreeWidgetItem* parent, const tolvane::gp::RegistryEntry& entry, const QString& extra) {
        auto* item = new QTreeWidgetItem(parent);
        item->setText(0, text(hex(entry.aid)));
        item->setText(1, text(tolvane::gp::lifeCycleName(entry.kind, entry.lifeCycle)));
        item->setText(2, extra);
        item->setData(0, aidRole, text(hex(entry.aid)));
        item->setData(0, kindRole, static_cast<int>(entry.kind));
        return item;
    };
    const auto privileges = [](const tolvane::gp::RegistryEntry& entry) {
        QStringList names;
        for (const auto& name : tolvane::gp::privilegeNames(entry.privileges))
            names << text(name);
        return names.isEmpty() ? QString("no privileges") : names.join(", ");
    };
    auto* domains = new QTreeWidgetItem(TreeView_Card, {"Security domains"});
    auto* applications = new QTreeWidgetItem(TreeView_Card, {"Applications"});
    auto* files = new QTreeWidgetItem(TreeView_Card, {"Load files"});
    if (contents.isd)
        row(domains, *contents.isd, "issuer security domain");
    for (const auto& application : contents.applications) {
        const bool domain = !application.privileges.empty() && (application.privileges[0] & 0x80) != 0;
        row(domain ? domains : applications, application, privileges(application));
    }
    for (const auto& file : contents.loadFiles) {
        QStringList dependents;
        for (const auto& aid : tolvane::card::dependentsOf(contents, file.aid))
            dependents << text(hex(aid));
        auto* item =
            row(files, file,
                file.version ? QString("version %1.%2").arg(file.version->first).arg(file.version->second) : QString());
        item->setData(0, dependentsRole, dependents);
        for (const auto& module : file.modules) {
            auto* child = new QTreeWidgetItem(item, {"module " + text(hex(module))});
            child->setFlags(child->flags() & ~Qt::ItemIsSelectable);
        }
    }
    for (auto* group : {domains, applications, files}) {
        group->setFlags(group->flags() & ~Qt::ItemIsSelectable);
        group->setExpanded(true);
    }
}

void TCardPage::loadOntoCardClick()
{
    // Every check before anything is sent: a package they refuse is never
    // loaded, and its finding is shown where the Structure tab shows it.
    const std::string path = hooks_.capPath();
    std::shared_ptr<tolvane::LoadFile> file;
    try {
        tolvane::ZipArchive archive;
        const tolvane::InputFile input = tolvane::readInput(path);
        tolvane::LoadFileOptions options;
        if (hooks_.exports)
            options.exports = hooks_.exports();
        file = std::make_shared<tolvane::LoadFile>(
            tolvane::makeLoadFile(tolvane::entriesOf(input, archive), options, input.path));
    } catch (const std::exception&) {
        hooks_.showStructure();
        throw;
    }
    ProgressBar_Load->setRange(0, 1);
    ProgressBar_Load->setValue(0);
    ProgressBar_Load->show();
    runJob("Loading " + text(path), "The load onto the card succeeded",
           [this, file](tolvane::card::Session& session, std::atomic<bool>& cancelled) {
               const auto contents = tolvane::card::listContents(session);
               tolvane::card::checkBeforeLoad(*file, contents);
               tolvane::apdu::Options options;
               options.blockSize = tolvane::card::largestBlock(session);
               const auto script = tolvane::apdu::makeScript(*file, options, file->packageAid);
               tolvane::card::LoadProgress progress;
               progress.block = [this](std::size_t block, std::size_t blocks) {
                   post([this, block, blocks] {
                       ProgressBar_Load->setRange(0, static_cast<int>(blocks));
                       ProgressBar_Load->setValue(static_cast<int>(block));
                       cxButton_CardCancel->setVisible(block < blocks);
                   });
               };
               progress.cancelled = [&cancelled] { return cancelled.load(); };
               tolvane::card::sendScript(session, script, progress);
           });
}

void TCardPage::deleteClick()
{
    // The selected row, however it was selected: assistive tools select
    // rows without making them Qt's current item.
    const auto selected = TreeView_Card->selectedItems();
    const QTreeWidgetItem* item = selected.isEmpty() ? nullptr : selected.front();
    if (item == nullptr || item->data(0, aidRole).toString().isEmpty())
        throw tolvane::Error(tolvane::ErrorKind::Card, "", "choose a load file or an application to delete");
    const QString aid = item->data(0, aidRole).toString();
    const QStringList dependents = item->data(0, dependentsRole).toStringList();
    const bool loadFile =
        item->data(0, kindRole).toInt() == static_cast<int>(tolvane::gp::RegistryEntry::Kind::LoadFile);
    QString question = QString("Delete the %1 %2 from the card?").arg(loadFile ? "load file" : "application", aid);
    if (!dependents.isEmpty())
        question += "\nIts applications go with it: " + dependents.join(", ") + ".";
    if (!hooks_.confirm(question))
        return;
    const auto bytes = *tolvane::bytesFromHex(aid.toStdString());
    const bool force = !dependents.isEmpty();
    runJob("Deleting " + aid, "The delete succeeded",
           [bytes, force](tolvane::card::Session& session, std::atomic<bool>&) {
               tolvane::card::deleteObjects(session, {bytes}, force);
           });
}

void TCardPage::showApplicationMenu(const QPoint& at)
{
    QTreeWidgetItem* item = TreeView_Card->itemAt(at);
    if (busy_ || item == nullptr || item->parent() == nullptr || item->parent()->text(0) != "Applications")
        return;
    TreeView_Card->setCurrentItem(item);
    const bool locked = item->text(1) == "LOCKED";
    Action_Lock->setEnabled(!locked);
    Action_Unlock->setEnabled(locked);
    Menu_Application->popup(TreeView_Card->viewport()->mapToGlobal(at));
}

QString TCardPage::selectedApplication() const
{
    const auto selected = TreeView_Card->selectedItems();
    const QTreeWidgetItem* item = selected.isEmpty() ? nullptr : selected.front();
    if (item == nullptr || item->parent() == nullptr || item->parent()->text(0) != "Applications")
        throw tolvane::Error(tolvane::ErrorKind::Card, "", "choose an application");
    return item->data(0, aidRole).toString();
}

void TCardPage::changeApplication(const QString& question, const QString& doing, const QString& succeeded,
                                  std::function<void(tolvane::card::Session&, const tolvane::card::ByteVector&)> job)
{
    const QString aid = selectedApplication();
    if (!hooks_.confirm(question.arg(aid)))
        return;
    const auto bytes = *tolvane::bytesFromHex(aid.toStdString());
    runJob(doing.arg(aid), succeeded,
           [bytes, job](tolvane::card::Session& session, std::atomic<bool>&) { job(session, bytes); });
}

void TCardPage::lockClick()
{
    changeApplication("Lock the application %1? It cannot be selected until it is unlocked.", "Locking %1",
                      "The lock succeeded", [](tolvane::card::Session& session, const tolvane::card::ByteVector& aid) {
                          tolvane::card::setApplicationLocked(session, aid, true);
                      });
}

void TCardPage::unlockClick()
{
    changeApplication("Unlock the application %1?", "Unlocking %1", "The unlock succeeded",
                      [](tolvane::card::Session& session, const tolvane::card::ByteVector& aid) {
                          tolvane::card::setApplicationLocked(session, aid, false);
                      });
}

void TCardPage::makeDefaultClick()
{
    changeApplication("Make %1 the default application, selected whenever the card starts?", "Making %1 the default",
                      "Making it the default succeeded",
                      [](tolvane::card::Session& session, const tolvane::card::ByteVector& aid) {
                          tolvane::card::makeDefault(session, aid);
                      });
}

void TCardPage::refreshClick()
{
    runJob("Listing the card", {}, [](tolvane::card::Session&, std::atomic<bool>&) {});
}

bool TCardPage::simulatedChosen() const
{
    return ComboBox_Readers->currentData().toString() == simulatedMarker;
}

void TCardPage::labelSimulatedCard()
{
    const int at = ComboBox_Readers->findData(simulatedMarker);
    if (at >= 0)
        ComboBox_Readers->setItemText(at, simulatedCardFile.isEmpty()
                                              ? QString("Simulated card")
                                              : "Simulated card (" + QFileInfo(simulatedCardFile).fileName() + ")");
}

tolvane::runtime::SimulatedCard& TCardPage::simulatedCard()
{
    if (!simulated_) {
        const std::string path = simulatedCardFile.toStdString();
        auto card = std::make_unique<tolvane::runtime::SimulatedCard>();
        if (const auto state = tolvane::runtime::readCardFile(path))
            card->restoreState(*state, path);
        card->keepIn(path);
        simulated_ = std::move(card);
    }
    return *simulated_;
}

void TCardPage::cardFileClick()
{
    if (busy_)
        return;
    const QString chosen = hooks_.chooseCardFile ? hooks_.chooseCardFile(simulatedCardFile) : QString();
    if (chosen.isEmpty()) {
        setBusy(busy_);
        return;
    }
    if (worker_.joinable())
        worker_.join();
    simulated_.reset();
    simulatedCardFile = chosen;
    labelSimulatedCard();
    TreeView_Card->clear();
    setBusy(busy_);
    refreshClick();
}

void TCardPage::keysClick()
{
    TKeysDialog dialog(this, keys);
    if (dialog.exec() != QDialog::Accepted)
        return;
    keys = *dialog.result();
}
