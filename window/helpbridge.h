#pragma once

// The bridge from the program's help requests to the HTML Help viewer (support/helpwindow.h).
//
// The main window owns one THelpBridge (HelpBridge = new THelpBridge(this)); from then on its
// "&Lagvane Help" item needs one call:
//
//     ApplicationHelpCommand(HelpContents, 0);
//
// which opens the contents of ApplicationHelpFile() (support/conversions.h), the name the window
// set to "Lagvane.html" and made absolute at start-up.

#include "window/helpwindow.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

class QWidget;

// The program's help commands, numbered as the platform numbers them.
constexpr uint16_t HelpContext = 1;
constexpr uint16_t HelpQuit = 2;
constexpr uint16_t HelpContents = 3;
constexpr uint16_t HelpContextPopup = 8;
constexpr uint16_t HelpFinder = 11;
constexpr uint16_t HelpKey = 257;

// Where the bridge sends its HTML Help calls: HtmlHelp unless a test records them instead.
using THtmlHelpFunction = std::function<void(QWidget* owner, const QString& file,
                                             THtmlHelpCommand command, const THelpData& data)>;
// An empty function restores HtmlHelp.
void SetHtmlHelpFunction(THtmlHelpFunction function);

// Runs a help request through the application's help handler, the live THelpBridge. Returns the
// handler's result, false when there is none.
bool ApplicationHelpCommand(uint16_t command, const THelpData& data);

// What a viewer asks of whoever holds it: the window to own help windows and the help file of
// the current request.
class IHelpManager {
public:
    virtual QWidget* GetHandle() const = 0;
    virtual QString GetHelpFile() const = 0;

protected:
    ~IHelpManager() = default;
};

// The help viewer for our HTML help files; every request goes to the manager's help file.
class THelpFileViewer {
public:
    QString ViewerName() const;
    int32_t KeywordMatchCount(const QString& keyword) const;
    QStringList GetHelpStrings(const QString& keyword) const;
    bool HasContents() const;
    void ShowContents() const;
    void ShowKeyword(const QString& keyword) const;
    void SetViewerId(int32_t id);
    void SoftShutdown() const;
    // Closes every help window and lets go of the manager.
    void Shutdown();
    bool HasTopic(const QString& topic) const;
    void ShowTopic(const QString& topic) const;
    bool HasContext(int32_t context, const QString& helpFile) const;
    void ShowContext(int32_t context, const QString& helpFile) const;
    void Register(IHelpManager* manager, int32_t id);
    void Unregister();

    int32_t ViewerId() const { return Id; }
    IHelpManager* HelpManager() const { return Manager; }
    // Whether the manager's help file is one of ours: its extension is ".html" in any case.
    bool IsHtmlHelpFile() const;

private:
    void Call(THtmlHelpCommand command, const QString& file, const THelpData& data) const;
    QString ManagerHelpFile() const;

    int32_t Id = 0;
    IHelpManager* Manager = nullptr;
};

// "F::/topic": the location of a topic inside help file F; F alone for an empty topic.
QString TopicLocation(const QString& helpFile, const QString& topic);

// Installs itself as the application's help handler and holds the viewer for the application's
// help file; destroying it removes the handler and closes every help window.
class THelpBridge : public QObject, public IHelpManager {
    Q_OBJECT
public:
    explicit THelpBridge(QObject* owner = nullptr);
    ~THelpBridge() override;

    // Maps a help command to the viewer and runs it on the application's help file; callHelp
    // comes back false, since nothing else is to handle the request.
    bool HandleHelpCommand(uint16_t command, const THelpData& data, bool& callHelp);

    THelpFileViewer Viewer;

    // The focused control's window, else the active window, else none.
    QWidget* GetHandle() const override;
    QString GetHelpFile() const override;
};
