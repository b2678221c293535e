#pragma once

#include <gtkmm/builder.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

namespace TaviskBiaconWidgets {

enum class Language { NONE, RUSSIAN, ENGLISH };

// The two fixed text tables of a widget, Russian and English, and the one on show. A widget
// has no language until its first switch, which selects Russian; each later switch flips.
template <typename Key> class BilingualLabels {
public:
    using Table = std::map<Key, std::string>;

    BilingualLabels(std::initializer_list<std::pair<const Key, std::string>> russianTexts,
                    std::initializer_list<std::pair<const Key, std::string>> englishTexts)
        : russianTable(russianTexts), englishTable(englishTexts) {}

    // Copying would leave `current` pointing into the source object's tables.
    BilingualLabels(const BilingualLabels&) = delete;
    BilingualLabels& operator=(const BilingualLabels&) = delete;

    void switchLanguage() {
        if (current == nullptr || current == &englishTable)
            current = &russianTable;
        else if (current == &russianTable)
            current = &englishTable;
    }

    // Widgets with two tables switch them together, so that they can never show two languages.
    template <typename OtherKey> void switchTogether(BilingualLabels<OtherKey>& other) {
        const Language mine = language();
        const Language theirs = other.language();
        if (mine == Language::NONE || theirs == Language::NONE) {
            select(Language::RUSSIAN);
            other.select(Language::RUSSIAN);
        } else if (mine == theirs) {
            const Language next = mine == Language::RUSSIAN ? Language::ENGLISH : Language::RUSSIAN;
            select(next);
            other.select(next);
        }
    }

    Language language() const {
        if (current == &russianTable)
            return Language::RUSSIAN;
        if (current == &englishTable)
            return Language::ENGLISH;
        return Language::NONE;
    }

    // The text of the language on show; call after the first switch.
    const std::string& text(Key key) const { return current->at(key); }
    const Table& russian() const { return russianTable; }
    const Table& english() const { return englishTable; }

    void select(Language language) {
        current = language == Language::RUSSIAN   ? &russianTable
                  : language == Language::ENGLISH ? &englishTable
                                                  : nullptr;
    }

private:
    const Table russianTable;
    const Table englishTable;
    const Table* current = nullptr;
};

// A child of the UI definition by id, as the class the widget expects; null when the id is
// missing or names an object of another class.
template <typename T> Glib::RefPtr<T> findChild(const Glib::RefPtr<Gtk::Builder>& builder, const char* id) {
    if (!builder)
        return {};
    return Glib::RefPtr<T>::cast_dynamic(builder->get_object(id));
}

} // namespace TaviskBiaconWidgets
