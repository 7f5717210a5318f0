#pragma once
// Editing the allowed list on the Settings tab: the entry field's key filter, Add, Remove, and
// AllowNumber for the blocked-number alert. Every change is stored, pushed to the driver whole,
// and logged.
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "numbers/NumberListClass.h"
#include "numbers/ParentalControl.h"
#include "numbers/Prompts.h"

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::numbers {

// The entry field txtAllowed, the list box lstAllowed and the button btnRemove.
class AllowedListView {
public:
    virtual ~AllowedListView() = default;
    virtual std::string FieldText() const = 0;
    virtual void SetFieldText(const std::string& text) = 0;
    virtual void FocusField() = 0;
    virtual std::vector<std::string> Items() const = 0;
    virtual void SetItems(const std::vector<std::string>& items) = 0;
    virtual void AppendItem(const std::string& item) = 0;
    virtual void DeleteItem(int index) = 0;
    virtual int SelectedIndex() const = 0;  // -1 when nothing is selected
    virtual void Select(int index) = 0;
    virtual void FocusList() = 0;
    virtual void SetRemoveEnabled(bool enabled) = 0;
};

class AllowedListEditing {
public:
    using SendAllowList = std::function<void(std::span<const std::string>)>;

    AllowedListEditing(TNumberList& store, ParentalControl& parental, Prompts& prompts,
                       log::LogOwner& log, AllowedListView& view, SendAllowList send);

    // Whether a character typed into the field is kept: digits, "+", the space and control
    // characters (editing keys such as Backspace and Delete, clipboard shortcuts) are; everything
    // else is dropped.
    static bool KeyFilterAccepts(unsigned char typed);

    // Fills the list box with the store's numbers and returns them. A store that cannot be read
    // leaves the list box empty and marked unread: an unread list is never saved over the store.
    std::vector<std::string> LoadListBox();
    bool ListBoxRead() const { return listRead_; }

    void btnAddClick();
    void btnRemoveClick();
    // Stores the list box's numbers, then pushes the stored list to the driver. When the store
    // refuses them, the list box and the driver get the store's list again before the error goes
    // on: all three agree after every save, failed or not.
    void SaveAllowedList();
    // The Hide buttons: stores the list box's numbers. An unread list box is not stored; it is
    // read again instead.
    void SaveListBox();
    // Adds a number reported by the driver, as it was reported (the alert's Allow).
    void AllowNumber(const std::string& number);

private:
    void UpdateRemoveButton();
    // Before an edit: the list box must hold the stored list, or the edit would save a list that
    // lacks it. Reads the store again if need be; raises the store's error when it still cannot.
    void RequireListRead();

    TNumberList& store_;
    ParentalControl& parental_;
    Prompts& prompts_;
    log::LogOwner& log_;
    AllowedListView& view_;
    SendAllowList send_;
    bool listRead_ = true;
};

}  // namespace kestrine::numbers
