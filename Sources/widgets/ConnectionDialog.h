#pragma once

#include "link/LinkTypes.h"
#include "widgets/BilingualLabels.h"

#include <gtkmm/builder.h>
#include <gtkmm/button.h>
#include <gtkmm/comboboxtext.h>
#include <gtkmm/dialog.h>
#include <gtkmm/label.h>
#include <gtkmm/notebook.h>
#include <gtkmm/window.h>

#include <cstdint>
#include <string>
#include <vector>

class LinkControl;

namespace TaviskBiaconWidgets {

// Where the user picks a COM port and a baud rate and connects the main window's link. It
// works through the link's owner (LinkControl), which may refuse while another job has the
// line. It remembers whether it opened the link, so that the main window's DISCONNECT closes
// only what the dialog opened; the link's own state counts, so a link that dropped by itself
// is not taken for an open one.
class ConnectionDialog : public Gtk::Dialog {
public:
    enum DialogItmesText {
        CONNECTION_LABEL = 0,
        PROTOCOL_LABEL = 1,
        TYPE_LABEL = 2,
        SERIAL_TYPE = 3,
        TCP_TYPE = 4,
        PORT_LABEL = 5,
        BAUDRATE_LABEL = 6,
        CONNECT_BUTTON = 7,
        CLOSE_BUTTON = 8,
        COM_PAGE = 9,
    };

    ConnectionDialog(GtkDialog* cobject, const Glib::RefPtr<Gtk::Builder>& builder);
    ~ConnectionDialog() override;

    void setUsbConnetctionPtr(LinkControl& link);
    void setOwner(Gtk::Window* window);
    // Refreshes the port list from the link into `list` and into the port combo.
    void resetUsbList(std::vector<std::string>& list);
    // 0 when the link is open through this dialog (now or already), 1 on failure.
    std::int32_t connect();
    // 0 when nothing of this dialog's is open any more, 1 when closing the link failed.
    std::int32_t disconnect();
    void redefinitionLabeles();

private:
    void definitionDefaultValues();
    void onConnectClicked();
    void onHide();
    // Whether the link that this dialog opened is still open; forgets a link that dropped.
    bool dialogLinkOpen();
    // The port and the rate chosen in the dialog (the default rate when none is).
    std::string selectedPort();
    UsbTypes::Baudrate selectedRate();

    BilingualLabels<DialogItmesText> texts;
    Glib::RefPtr<Gtk::Builder> builder;
    Glib::RefPtr<Gtk::Label> connectionLabel;
    Glib::RefPtr<Gtk::Label> protocolLabel;
    Glib::RefPtr<Gtk::Label> typeConnectionLabel;
    Glib::RefPtr<Gtk::Label> currentTypeConnectionLabel;
    Glib::RefPtr<Gtk::Label> portLabel;
    Glib::RefPtr<Gtk::Label> baudrateLabel;
    Glib::RefPtr<Gtk::Label> connectionPortPage;
    Glib::RefPtr<Gtk::Button> connectButton;
    Glib::RefPtr<Gtk::Button> closeButton;
    Glib::RefPtr<Gtk::Button> resetSearchPortsButton;
    Glib::RefPtr<Gtk::ComboBoxText> protocolTypeComboBox;
    Glib::RefPtr<Gtk::ComboBoxText> typeConnectionComboBox;
    Glib::RefPtr<Gtk::ComboBoxText> portsListComboBox;
    Glib::RefPtr<Gtk::ComboBoxText> baudratesListComboBox;
    Glib::RefPtr<Gtk::Notebook> serialNotebook;
    Gtk::Window* owner = nullptr;
    LinkControl* link = nullptr; // the main window's link, through its owner; not owned
    std::vector<std::string> ports;
    bool connected = false;
};

} // namespace TaviskBiaconWidgets
