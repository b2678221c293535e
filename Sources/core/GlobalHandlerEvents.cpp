#include "core/GlobalHandlerEvents.h"

const std::string GlobalHandlerEvents::prefix = "GlobalHandlerEvents: ";
std::map<HandlersFuncKeys, GlobalHandlerEvents::Handler> GlobalHandlerEvents::handlers;
std::map<std::type_index, std::unique_ptr<GlobalHandlerEvents::MapHolderBase>>
    GlobalHandlerEvents::handlersWithArgsMaps;
std::map<HandlersFuncKeys, std::string> GlobalHandlerEvents::keysNamesDict;
std::mutex GlobalHandlerEvents::mapsMutex;

GlobalHandlerEvents& GlobalHandlerEvents::getInstance() {
    static GlobalHandlerEvents globalHandler;
    return globalHandler;
}

GlobalHandlerEvents::GlobalHandlerEvents() : logger(&LoggerManager::getInstance()) {
    logger->log("Constructor GlobalHandlerEvents", BaseLogger::DEBUG, prefix);
    std::lock_guard<std::mutex> lock(mapsMutex);
    keysNamesDict = {
        {SWITCH_LANG, "SWITCH_LANG"},
        {QUIT_APP, "QUIT_APP"},
        {CONNECT_DIALOG_OPEN, "CONNECT_DIALOG_OPEN"},
        {DISCONNECT, "DISCONNECT"},
        {SELECT_STM32, "SELECT_STM32"},
        {SELECT_ESP32, "SELECT_ESP32"},
        {SEARCH_FILE_STM32, "SEARCH_FILE_STM32"},
        {SEARCH_FILE_ESP32, "SEARCH_FILE_ESP32"},
        {UPLOAD_FIRMWARE, "UPLOAD_FIRMWARE"},
        {SEARCH_DEVICES, "SEARCH_DEVICES"},
        {SHOW_DEVICE_LIST, "SHOW_DEVICE_LIST"},
        {GET_INFO_FIELDS_RESPOND, "GET_INFO_FIELDS_RESPOND"},
        {SET_CURRENT_DEVICE_ADDR, "SET_CURRENT_DEVICE_ADDR"},
        {UPDATE_LOADING_STATUS, "UPDATE_LOADING_STATUS"},
        {SET_LISTENER_TIMEOUT, "SET_LISTENER_TIMEOUT"},
    };
}

GlobalHandlerEvents::~GlobalHandlerEvents() = default;

std::string GlobalHandlerEvents::keyName(HandlersFuncKeys key) const {
    std::lock_guard<std::mutex> lock(mapsMutex);
    auto it = keysNamesDict.find(key);
    return it == keysNamesDict.end() ? std::string() : it->second;
}

void GlobalHandlerEvents::addHandler(HandlersFuncKeys key, Handler handler) {
    GlobalHandlerEvents& registry = getInstance();
    const std::string name = registry.keyName(key);
    bool stored = false;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        auto it = handlers.find(key);
        if (it == handlers.end() || !it->second) {
            handlers[key] = std::move(handler);
            stored = true;
        }
    }
    if (stored)
        registry.logger->log("Add handler " + name, BaseLogger::DEBUG, prefix);
    else
        registry.logger->log("Handler " + name + " already exist!", BaseLogger::WARNING, prefix);
}

GlobalHandlerEvents::HandlerEventsStatus GlobalHandlerEvents::_executeHandler(HandlersFuncKeys key) {
    const std::string name = keyName(key);
    logger->log("Execute handler " + name, BaseLogger::DEBUG, prefix);
    Handler handler;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mapsMutex);
        auto it = handlers.find(key);
        if (it != handlers.end()) {
            handler = it->second;
            found = true;
        }
    }
    if (!found) {
        logger->log("Hanler " + name + " did't find", BaseLogger::ERROR, prefix);
        return FAILURE;
    }
    // An empty stored handler throws std::bad_function_call to the caller.
    return handler() == SUCCESS ? SUCCESS : FAILURE;
}
