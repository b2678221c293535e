#pragma once

#include "core/GlobalHandlerEvents.h"
#include "core/LoggerManager.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/builder.h>
#include <gtkmm/imagemenuitem.h>
#include <gtkmm/menubar.h>
#include <gtkmm/menuitem.h>

namespace TaviskBiaconWidgets {

// The main window's Connection menu. Each item fires a registry key and logs the answer; the
// main window's handlers do the work.
class MenuBar : public Gtk::MenuBar {
public:
    enum ItemsText { CONNECTION_MENU = 0 };
    enum ImageItemsText { CONNECT_ITEM = 0, DISCONNECT_ITEM = 1, QUIT_ITEM = 2 };

    MenuBar(GtkMenuBar* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    ~MenuBar() override;

    void redefinitionLabeles();
    // Connect and Disconnect; Quit stays usable whatever runs.
    void setConnectionItemsSensitive(bool sensitive);

private:
    void definitionDefaultValues();
    // Logs the item's line, fires its key and logs the registry's answer.
    void fireItem(const char* itemLine, HandlersFuncKeys key, const char* failureLine,
                  const char* successLine);
    void onConnect();
    void onDisconnect();
    void onQuit();

    BilingualLabels<ItemsText> itemsTexts;
    BilingualLabels<ImageItemsText> imageItemsTexts;
    Glib::RefPtr<Gtk::MenuItem> connectionMenuItem;
    Glib::RefPtr<Gtk::ImageMenuItem> connectImageMenuItem;
    Glib::RefPtr<Gtk::ImageMenuItem> disconnectImageMenuItem;
    Glib::RefPtr<Gtk::ImageMenuItem> quitImageMenuItem;
    Glib::RefPtr<Gtk::Builder> builder;
    LoggerManager* logger;
};

} // namespace TaviskBiaconWidgets
