#include "widgets/MenuBar.h"

#include "core/GlobalHandlerEvents.h"

namespace TaviskBiaconWidgets {

namespace {
const std::string logPrefix = "MenuBar: ";
}

MenuBar::MenuBar(GtkMenuBar* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("MenuBarTB"), Gtk::MenuBar(cobject),
      itemsTexts({{CONNECTION_MENU, "Подключение"}}, {{CONNECTION_MENU, "Connection"}}),
      imageItemsTexts(
          {{CONNECT_ITEM, "Подключиться"}, {DISCONNECT_ITEM, "Отключиться"}, {QUIT_ITEM, "Выход"}},
          {{CONNECT_ITEM, "Connect"}, {DISCONNECT_ITEM, "Disconnect"}, {QUIT_ITEM, "Quit"}}),
      builder(builder), logger(&LoggerManager::getInstance()) {
    logger->log("Constructor", BaseLogger::DEBUG, logPrefix);
    connectionMenuItem = findChild<Gtk::MenuItem>(builder, "ConnectionMenuItem");
    connectImageMenuItem = findChild<Gtk::ImageMenuItem>(builder, "ConnectImageMenuItem");
    disconnectImageMenuItem = findChild<Gtk::ImageMenuItem>(builder, "DisconnectImageMenuItem");
    quitImageMenuItem = findChild<Gtk::ImageMenuItem>(builder, "QuitImageMenuItem");
    definitionDefaultValues();
}

MenuBar::~MenuBar() = default;

void MenuBar::definitionDefaultValues() {
    logger->log("Definition default values", BaseLogger::DEBUG, logPrefix);
    redefinitionLabeles();
    const std::pair<Glib::RefPtr<Gtk::ImageMenuItem>*, void (MenuBar::*)()> items[] = {
        {&connectImageMenuItem, &MenuBar::onConnect},
        {&disconnectImageMenuItem, &MenuBar::onDisconnect},
        {&quitImageMenuItem, &MenuBar::onQuit},
    };
    for (const auto& [item, handler] : items) {
        if (!*item)
            continue;
        (*item)->set_use_underline(true);
        (*item)->signal_activate().connect(sigc::mem_fun(*this, handler));
    }
}

void MenuBar::redefinitionLabeles() {
    logger->log("Redefinition labeles ", BaseLogger::DEBUG, logPrefix);
    itemsTexts.switchTogether(imageItemsTexts);
    if (connectionMenuItem)
        connectionMenuItem->set_label(itemsTexts.text(CONNECTION_MENU));
    if (connectImageMenuItem)
        connectImageMenuItem->set_label(imageItemsTexts.text(CONNECT_ITEM));
    if (disconnectImageMenuItem)
        disconnectImageMenuItem->set_label(imageItemsTexts.text(DISCONNECT_ITEM));
    if (quitImageMenuItem)
        quitImageMenuItem->set_label(imageItemsTexts.text(QUIT_ITEM));
}

void MenuBar::setConnectionItemsSensitive(bool sensitive) {
    for (const auto& item : {connectImageMenuItem, disconnectImageMenuItem})
        if (item)
            item->set_sensitive(sensitive);
}

void MenuBar::fireItem(const char* itemLine, HandlersFuncKeys key, const char* failureLine,
                       const char* successLine) {
    logger->log(itemLine, BaseLogger::DEBUG, logPrefix);
    if (GlobalHandlerEvents::getInstance()._executeHandler(key) == GlobalHandlerEvents::FAILURE)
        logger->log(failureLine, BaseLogger::ERROR, logPrefix);
    else if (successLine != nullptr)
        logger->log(successLine, BaseLogger::DEBUG, logPrefix);
}

void MenuBar::onConnect() {
    fireItem("Connection/Connect", CONNECT_DIALOG_OPEN, "Error with USB connection window!",
             "USB connection window open!");
}

void MenuBar::onDisconnect() {
    fireItem("Connection/Disconnect", DISCONNECT, "Error with USB disconnection!",
             "USB disconnection success!");
}

void MenuBar::onQuit() {
    fireItem("Connection/Quit", QUIT_APP, "Error with closing", nullptr);
}

} // namespace TaviskBiaconWidgets
