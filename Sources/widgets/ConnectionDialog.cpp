#include "widgets/ConnectionDialog.h"

#include "core/LoggerManager.h"
#include "link/LinkControl.h"

#include <gtkmm/liststore.h>

#include <cstdlib>

namespace TaviskBiaconWidgets {

namespace {

const std::string logPrefix = "ConnectionDialog: ";
constexpr std::int32_t defaultBaudrate = UsbTypes::kDefaultBaudrate;

void log(const std::string& message, BaseLogger::MessageType type) {
    LoggerManager::getInstance().log(message, type, logPrefix);
}

} // namespace

ConnectionDialog::ConnectionDialog(GtkDialog* cobject, const Glib::RefPtr<Gtk::Builder>& builder)
    : Glib::ObjectBase("ConnectionDialogTB"), Gtk::Dialog(cobject),
      texts(
          {
              {CONNECTION_LABEL, "Подключение"},
              {PROTOCOL_LABEL, "Протокол"},
              {TYPE_LABEL, "Тип"},
              {SERIAL_TYPE, "Последовательный"},
              {TCP_TYPE, "TCP"},
              {PORT_LABEL, "Порт"},
              {BAUDRATE_LABEL, "Скорость в бодах"},
              {CONNECT_BUTTON, "Подключить"},
              {CLOSE_BUTTON, "Закрыть"},
              {COM_PAGE, "COM"},
          },
          {
              {CONNECTION_LABEL, "Connection"},
              {PROTOCOL_LABEL, "Protocol"},
              {TYPE_LABEL, "Type"},
              {SERIAL_TYPE, "Serial"},
              {TCP_TYPE, "TCP"},
              {PORT_LABEL, "Port"},
              {BAUDRATE_LABEL, "Baudrate"},
              {CONNECT_BUTTON, "Connect"},
              {CLOSE_BUTTON, "Close"},
              {COM_PAGE, "COM"},
          }),
      builder(builder) {
    set_title("Connection");
    typeConnectionLabel = findChild<Gtk::Label>(builder, "TypeConnectionLable");
    currentTypeConnectionLabel = findChild<Gtk::Label>(builder, "CurrentTypeConnectionLable");
    portLabel = findChild<Gtk::Label>(builder, "PortLabel");
    baudrateLabel = findChild<Gtk::Label>(builder, "BaudrateLabel");
    connectionLabel = findChild<Gtk::Label>(builder, "ConnectionLabel");
    protocolLabel = findChild<Gtk::Label>(builder, "ProtocolLabel");
    connectionPortPage = findChild<Gtk::Label>(builder, "ConnectionPortPage");
    connectButton = findChild<Gtk::Button>(builder, "DialogConnectButton");
    closeButton = findChild<Gtk::Button>(builder, "DialogCloseButton");
    resetSearchPortsButton = findChild<Gtk::Button>(builder, "ResetSearchPortsButton");
    typeConnectionComboBox = findChild<Gtk::ComboBoxText>(builder, "TypeConnectionComboBoxText");
    portsListComboBox = findChild<Gtk::ComboBoxText>(builder, "PortsListComboTextBox");
    baudratesListComboBox = findChild<Gtk::ComboBoxText>(builder, "BaudratesListComboTextBox");
    protocolTypeComboBox = findChild<Gtk::ComboBoxText>(builder, "ProtocolTypeComboBoxText");
    serialNotebook = findChild<Gtk::Notebook>(builder, "SerialNotebook");
    definitionDefaultValues();
}

ConnectionDialog::~ConnectionDialog() {
    if (owner)
        owner->set_sensitive(true);
    // The dialog is destroyed after this body. With an accessibility bus, GTK's notebook
    // accessible asks for a page's tab label once the page has already left the notebook, and
    // reports a critical on standard error; with the tabs hidden it does not ask.
    if (serialNotebook)
        serialNotebook->set_show_tabs(false);
}

void ConnectionDialog::definitionDefaultValues() {
    redefinitionLabeles();
    resetUsbList(ports);
    if (typeConnectionComboBox) {
        // These entries exist in English only.
        typeConnectionComboBox->append(texts.english().at(TCP_TYPE));
        typeConnectionComboBox->append(texts.english().at(SERIAL_TYPE));
        typeConnectionComboBox->set_active_text(texts.english().at(SERIAL_TYPE));
    }
    if (protocolTypeComboBox) {
        protocolTypeComboBox->append("Payload");
        protocolTypeComboBox->set_active_text("Payload");
    }
    if (baudratesListComboBox) {
        baudratesListComboBox->remove_all();
        for (UsbTypes::Baudrate rate : UsbTypes::kBaudrates)
            baudratesListComboBox->append(std::to_string(rate));
        baudratesListComboBox->set_active_text(std::to_string(defaultBaudrate));
    }
    if (closeButton)
        closeButton->signal_clicked().connect(sigc::mem_fun(*this, &ConnectionDialog::hide));
    if (connectButton)
        connectButton->signal_clicked().connect(sigc::mem_fun(*this, &ConnectionDialog::onConnectClicked));
    if (resetSearchPortsButton)
        resetSearchPortsButton->signal_clicked().connect([this] { resetUsbList(ports); });
    signal_hide().connect(sigc::mem_fun(*this, &ConnectionDialog::onHide));
    // Closed through the window frame, the dialog would be destroyed by default and could not
    // be opened again: hide it instead, as Close does.
    signal_delete_event().connect([this](GdkEventAny*) {
        hide();
        return true;
    });
}

void ConnectionDialog::redefinitionLabeles() {
    texts.switchLanguage();
    const std::pair<Gtk::Label*, DialogItmesText> firstLabels[] = {
        {typeConnectionLabel.get(), TYPE_LABEL},
        {currentTypeConnectionLabel.get(), SERIAL_TYPE},
        {portLabel.get(), PORT_LABEL},
        {baudrateLabel.get(), BAUDRATE_LABEL},
    };
    for (const auto& [label, key] : firstLabels)
        if (label)
            label->set_label(texts.text(key));
    if (connectButton)
        connectButton->set_label(texts.text(CONNECT_BUTTON));
    if (closeButton)
        closeButton->set_label(texts.text(CLOSE_BUTTON));
    const std::pair<Gtk::Label*, DialogItmesText> frameLabels[] = {
        {connectionLabel.get(), CONNECTION_LABEL},
        {protocolLabel.get(), PROTOCOL_LABEL},
        {connectionPortPage.get(), COM_PAGE},
    };
    for (const auto& [label, key] : frameLabels)
        if (label)
            label->set_label(texts.text(key));
}

void ConnectionDialog::setUsbConnetctionPtr(LinkControl& control) {
    link = &control;
    resetUsbList(ports);
}

void ConnectionDialog::setOwner(Gtk::Window* window) {
    owner = window;
}

void ConnectionDialog::resetUsbList(std::vector<std::string>& list) {
    if (!link)
        return;
    list = link->listPorts();
    if (!portsListComboBox)
        return;
    // The entries go into a new model that the combo takes whole, and the last (the
    // highest-numbered port, or "None") is chosen then: an entry added to the combo's own
    // model costs time in proportion to the entries before it (its menu finds the new row's
    // place), and choosing after each append searched the growing list too.
    Gtk::TreeModelColumnRecord columns;
    Gtk::TreeModelColumn<Glib::ustring> text; // the combo's text column
    Gtk::TreeModelColumn<Glib::ustring> id;   // and its id column
    columns.add(text);
    columns.add(id);
    const Glib::RefPtr<Gtk::ListStore> entries = Gtk::ListStore::create(columns);
    for (const std::string& name : list)
        (*entries->append())[text] = name;
    if (list.empty())
        (*entries->append())[text] = "None";
    portsListComboBox->set_model(entries);
    portsListComboBox->set_active(static_cast<int>(entries->children().size()) - 1);
}

std::string ConnectionDialog::selectedPort() {
    return portsListComboBox ? std::string(portsListComboBox->get_active_text()) : std::string();
}

UsbTypes::Baudrate ConnectionDialog::selectedRate() {
    std::int32_t rate = defaultBaudrate;
    if (baudratesListComboBox) {
        rate = std::atoi(std::string(baudratesListComboBox->get_active_text()).c_str());
        if (rate <= 0)
            rate = defaultBaudrate;
    }
    return static_cast<UsbTypes::Baudrate>(rate);
}

bool ConnectionDialog::dialogLinkOpen() {
    if (connected && link && !link->isConnected())
        connected = false;
    return connected;
}

std::int32_t ConnectionDialog::connect() {
    if (!link)
        return 1;
    if (dialogLinkOpen())
        return 0;
    const std::string port = selectedPort();
    if (ports.empty() || port.empty() || port == "None") {
        log("No COM ports available/selected. Plug the device in and press Reset/Search ports.",
            BaseLogger::ERROR);
        return 1;
    }
    if (link->connectPort(port, selectedRate()) != LINK_OK)
        return 1;
    connected = true;
    return 0;
}

void ConnectionDialog::onConnectClicked() {
    if (link && link->busy()) {
        // Asked all the same: the owner of the line refuses it with the line that says why.
        link->connectPort(selectedPort(), selectedRate());
        return;
    }
    // A second Connect reopens the link with the port and rate now selected.
    if (link && dialogLinkOpen()) {
        if (link->disconnect() == LINK_OK)
            connected = false;
        else
            log("Closing the open port failed (see SerialPort/UsbCommunication logs for details)",
                BaseLogger::ERROR);
    }
    if (connect() != 0) {
        log("Connection failed (see SerialPort/UsbCommunication logs for details)", BaseLogger::ERROR);
        return;
    }
    log("Connection success", BaseLogger::INFO);
    hide();
}

void ConnectionDialog::onHide() {
    if (owner)
        owner->set_sensitive(true);
}

std::int32_t ConnectionDialog::disconnect() {
    if (!link)
        return 1;
    if (!dialogLinkOpen())
        return 0;
    if (link->disconnect() != LINK_OK)
        return 1;
    connected = false;
    return 0;
}

} // namespace TaviskBiaconWidgets
