#pragma once

#include "core/LoggerManager.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeindex>
#include <utility>

// Keys through which components trigger one another without knowing each other.
enum HandlersFuncKeys : int {
    SWITCH_LANG = 0,
    QUIT_APP = 1,
    CONNECT_DIALOG_OPEN = 2,
    DISCONNECT = 3,
    SELECT_STM32 = 4,
    SELECT_ESP32 = 5,
    SEARCH_FILE_STM32 = 6,
    SEARCH_FILE_ESP32 = 7,
    UPLOAD_FIRMWARE = 8,
    SEARCH_DEVICES = 9,
    SHOW_DEVICE_LIST = 10,
    GET_INFO_FIELDS_RESPOND = 11,
    // 12 has no name.
    SET_CURRENT_DEVICE_ADDR = 13,
    UPDATE_LOADING_STATUS = 14,
    SET_LISTENER_TIMEOUT = 15,
};

// The argument of UPLOAD_FIRMWARE.
enum LoadStage : int { START_UPLOAD = 1, LOAD_FIRMWARE = 2 };

// Process-wide registry: one handler per key (and per argument list); firing a key runs
// its handler at once on the firing thread.
//
// Registration happens while the main window is built, before any worker starts; later
// calls only fire. The maps are still guarded by `mapsMutex` so that a late registration
// cannot corrupt a concurrent lookup. The mutex is never held while a handler runs
// (handlers fire further keys) nor while logging.
class GlobalHandlerEvents {
public:
    enum HandlerEventsStatus : int { SUCCESS = 0, FAILURE = 1 };

    using Handler = std::function<HandlerEventsStatus()>;
    template <typename... Args> using HandlerWithArgs = std::function<HandlerEventsStatus(Args...)>;
    template <typename... Args>
    using HandlerMapWithArgs = std::map<HandlersFuncKeys, HandlerWithArgs<Args...>>;
    template <typename T> struct NoDeduce { using type = T; };

    static GlobalHandlerEvents& getInstance();

    static void addHandler(HandlersFuncKeys key, Handler handler);

    // The argument list is given explicitly (addHandlerWithArgs<LoadStage>(key, lambda)); the
    // handler parameter is kept out of deduction so that a lambda converts.
    template <typename... Args>
    static void addHandlerWithArgs(HandlersFuncKeys key,
                                   typename NoDeduce<HandlerWithArgs<Args...>>::type handler) {
        GlobalHandlerEvents& registry = getInstance();
        const std::string name = registry.keyName(key);
        {
            std::unique_lock<std::mutex> lock(mapsMutex);
            auto& map = handlerMapLocked<std::decay_t<Args>...>();
            auto it = map.find(key);
            if (it == map.end() || !it->second) {
                map[key] = std::move(handler);
                lock.unlock();
                registry.logger->log("Add handler with args " + name, BaseLogger::DEBUG, prefix);
                return;
            }
        }
        registry.logger->log("Handler with args " + name + " already exist!", BaseLogger::WARNING, prefix);
    }

    // The handler map of an argument list, created on first use.
    template <typename... Args> static HandlerMapWithArgs<std::decay_t<Args>...>& getHandlerMapWithArgs() {
        getInstance();
        std::unique_lock<std::mutex> lock(mapsMutex);
        return handlerMapLocked<std::decay_t<Args>...>();
    }

    HandlerEventsStatus _executeHandler(HandlersFuncKeys key);

    // Arguments are decayed: firing with a `LoadStage&` finds the handler registered for `LoadStage`.
    template <typename... Args>
    HandlerEventsStatus _executeHandlerWithArgs(HandlersFuncKeys key, Args&&... args) {
        const std::string name = keyName(key);
        logger->log("Execute handler with args " + name, BaseLogger::DEBUG, prefix);
        HandlerWithArgs<std::decay_t<Args>...> handler;
        bool found = false;
        {
            std::unique_lock<std::mutex> lock(mapsMutex);
            auto& map = handlerMapLocked<std::decay_t<Args>...>();
            auto it = map.find(key);
            if (it != map.end()) {
                handler = it->second;
                found = true;
            }
        }
        if (!found) {
            logger->log("Handler with args " + name + " didn't find", BaseLogger::ERROR, prefix);
            return FAILURE;
        }
        // An empty stored handler throws std::bad_function_call to the caller.
        return handler(std::forward<Args>(args)...) == SUCCESS ? SUCCESS : FAILURE;
    }

    // The display name of a key for log lines; empty for a key without one. Never inserts.
    std::string keyName(HandlersFuncKeys key) const;

    virtual ~GlobalHandlerEvents();
    GlobalHandlerEvents(const GlobalHandlerEvents&) = delete;
    GlobalHandlerEvents& operator=(const GlobalHandlerEvents&) = delete;

private:
    GlobalHandlerEvents();

    struct MapHolderBase {
        virtual ~MapHolderBase() = default;
    };
    template <typename... Args> struct MapHolder : MapHolderBase { HandlerMapWithArgs<Args...> map; };

    // Caller holds mapsMutex.
    template <typename... Args> static HandlerMapWithArgs<Args...>& handlerMapLocked() {
        const std::type_index typeKey(typeid(HandlerMapWithArgs<Args...>));
        auto& slot = handlersWithArgsMaps[typeKey];
        if (!slot)
            slot = std::make_unique<MapHolder<Args...>>();
        return static_cast<MapHolder<Args...>&>(*slot).map;
    }

    static const std::string prefix;
    LoggerManager* logger;

    static std::map<HandlersFuncKeys, Handler> handlers;
    // One handler map per argument list, keyed by the map type's identity.
    static std::map<std::type_index, std::unique_ptr<MapHolderBase>> handlersWithArgsMaps;
    static std::map<HandlersFuncKeys, std::string> keysNamesDict;
    // Guards the three maps above; see the class comment.
    static std::mutex mapsMutex;
};
