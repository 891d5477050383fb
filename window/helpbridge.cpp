#include "window/helpbridge.h"

#include "support/conversions.h"

#include <QApplication>
#include <QFileInfo>
#include <QWidget>

namespace {

const QString HelpFileExtension = QStringLiteral(".html");
constexpr int32_t ApplicationViewerId = 1;

THtmlHelpFunction HtmlHelpCall = HtmlHelp;
THelpBridge* ApplicationHelpHandler = nullptr;

struct THtmlHelpRequest {
    THtmlHelpCommand Command;
    THelpData Data;
};

THtmlHelpRequest MapHelpCommand(uint16_t command, const THelpData& data) {
    const THelpData none = int32_t(0);
    switch (command) {
    case HelpContext:
    case HelpContextPopup:
        return {THtmlHelpCommand::HelpContext, data};
    case HelpQuit:
        return {THtmlHelpCommand::CloseAll, none};
    case HelpContents:
        return {THtmlHelpCommand::DisplayToc, none};
    case HelpFinder:
        return {THtmlHelpCommand::DisplayTopic, data};
    case HelpKey:
        return {THtmlHelpCommand::DisplayIndex, data};
    default:
        return {THtmlHelpCommand::DisplayTopic, none};
    }
}

} // namespace

void SetHtmlHelpFunction(THtmlHelpFunction function) {
    HtmlHelpCall = function ? std::move(function) : THtmlHelpFunction(HtmlHelp);
}

bool ApplicationHelpCommand(uint16_t command, const THelpData& data) {
    if (!ApplicationHelpHandler)
        return false;
    bool callHelp = true;
    return ApplicationHelpHandler->HandleHelpCommand(command, data, callHelp);
}

QString TopicLocation(const QString& helpFile, const QString& topic) {
    if (topic.isEmpty())
        return helpFile;
    const QString marker =
        topic.startsWith(QLatin1Char('/')) ? QStringLiteral("::") : QStringLiteral("::/");
    return helpFile + marker + topic;
}

QString THelpFileViewer::ViewerName() const {
    return QStringLiteral("HTMLHelp Viewer");
}

int32_t THelpFileViewer::KeywordMatchCount(const QString&) const {
    return IsHtmlHelpFile() ? 1 : 0;
}

QStringList THelpFileViewer::GetHelpStrings(const QString& keyword) const {
    return IsHtmlHelpFile() ? QStringList{keyword} : QStringList{};
}

bool THelpFileViewer::HasContents() const {
    return IsHtmlHelpFile();
}

void THelpFileViewer::ShowContents() const {
    Call(THtmlHelpCommand::DisplayToc, ManagerHelpFile(), int32_t(0));
}

void THelpFileViewer::ShowKeyword(const QString& keyword) const {
    Call(THtmlHelpCommand::KeywordLookup, ManagerHelpFile(), keyword);
}

void THelpFileViewer::SetViewerId(int32_t id) {
    Id = id;
}

void THelpFileViewer::SoftShutdown() const {
    HtmlHelpCall(nullptr, QString(), THtmlHelpCommand::CloseAll, int32_t(0));
}

void THelpFileViewer::Shutdown() {
    SoftShutdown();
    Manager = nullptr;
}

bool THelpFileViewer::HasTopic(const QString&) const {
    return IsHtmlHelpFile();
}

void THelpFileViewer::ShowTopic(const QString& topic) const {
    Call(THtmlHelpCommand::DisplayTopic, TopicLocation(ManagerHelpFile(), topic), int32_t(0));
}

bool THelpFileViewer::HasContext(int32_t, const QString&) const {
    return IsHtmlHelpFile();
}

void THelpFileViewer::ShowContext(int32_t context, const QString& helpFile) const {
    Call(THtmlHelpCommand::HelpContext, helpFile, context);
}

void THelpFileViewer::Register(IHelpManager* manager, int32_t id) {
    SetViewerId(id);
    Manager = manager;
}

void THelpFileViewer::Unregister() {
    Shutdown();
}

bool THelpFileViewer::IsHtmlHelpFile() const {
    const QString name = QFileInfo(ManagerHelpFile()).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && name.mid(dot).compare(HelpFileExtension, Qt::CaseInsensitive) == 0;
}

void THelpFileViewer::Call(THtmlHelpCommand command, const QString& file,
                           const THelpData& data) const {
    HtmlHelpCall(Manager ? Manager->GetHandle() : nullptr, file, command, data);
}

// Without a manager (before registration or after shutdown) there is no help file.
QString THelpFileViewer::ManagerHelpFile() const {
    return Manager ? Manager->GetHelpFile() : QString();
}

THelpBridge::THelpBridge(QObject* owner) : QObject(owner) {
    Viewer.Register(this, ApplicationViewerId);
    ApplicationHelpHandler = this;
}

THelpBridge::~THelpBridge() {
    // Another bridge may have taken over the application's requests since; leave its hold.
    if (ApplicationHelpHandler == this)
        ApplicationHelpHandler = nullptr;
    Viewer.Unregister();
}

bool THelpBridge::HandleHelpCommand(uint16_t command, const THelpData& data, bool& callHelp) {
    callHelp = false;
    const THtmlHelpRequest request = MapHelpCommand(command, data);
    HtmlHelpCall(GetHandle(), ApplicationHelpFile(), request.Command, request.Data);
    return true;
}

QWidget* THelpBridge::GetHandle() const {
    if (QWidget* focus = QApplication::focusWidget())
        return focus->window();
    return QApplication::activeWindow();
}

QString THelpBridge::GetHelpFile() const {
    return ApplicationHelpFile();
}
