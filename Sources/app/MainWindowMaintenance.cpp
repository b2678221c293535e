// Device operations that no control reaches: they belong to the window's interface and do
// their work in the session.
#include "app/MainWindow.h"

void MainWindow::startPayloadListener() {
    session.startPayloadListener();
}

void MainWindow::startPayloadSender() {
    session.startPayloadSender();
}

void MainWindow::stopPayloadListener() {
    session.stopPayloadListener();
}

void MainWindow::stopPayloadSender() {
    session.stopPayloadSender();
}

void MainWindow::terminatePayloadListener() {
    session.terminatePayloadListener();
}

void MainWindow::terminatePayloadSender() {
    session.terminatePayloadSender();
}

void MainWindow::searchPayloadDevices() {
    session.searchPayloadDevices();
}

void MainWindow::getInfoFieldsRespond() {
    session.getInfoFieldsRespond();
}

void MainWindow::setDeviceDfuMode() {
    session.setDeviceDfuMode();
}

void MainWindow::setFieldValue(const void* value, unsigned long long index) {
    session.setFieldValue(value, index);
}

void MainWindow::rebootDevice() {
    session.rebootDevice();
}

void MainWindow::scheduleSerialReconnectAfterReboot() {
    session.scheduleSerialReconnectAfterReboot();
}
