#include "numbers/AllowedListEditing.h"

#include <algorithm>
#include <cctype>

#include "log/LogOwner.h"
#include "numbers/TextEncoding.h"
#include "platform/UserError.h"

namespace kestrine::numbers {

namespace {

constexpr std::size_t kShortestUsualNumber = 11;

std::string TrimControls(const std::string& text) {
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    const auto begin = std::find_if_not(text.begin(), text.end(), isBlank);
    const auto end =
        std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), isBlank).base();
    return std::string(begin, end);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

AllowedListEditing::AllowedListEditing(TNumberList& store, ParentalControl& parental,
                                       Prompts& prompts, log::LogOwner& log, AllowedListView& view,
                                       SendAllowList send)
    : store_(store),
      parental_(parental),
      prompts_(prompts),
      log_(log),
      view_(view),
      send_(std::move(send)) {}

bool AllowedListEditing::KeyFilterAccepts(unsigned char typed) {
    return typed <= 32 || typed == 127 || typed == '+' || (typed >= '0' && typed <= '9');
}

void AllowedListEditing::UpdateRemoveButton() {
    view_.SetRemoveEnabled(!view_.Items().empty());
}

std::vector<std::string> AllowedListEditing::LoadListBox() {
    std::vector<std::string> list = store_.LoadNumbers();
    listRead_ = store_.LoadError() == platform::ERROR_SUCCESS;
    view_.SetItems(list);
    UpdateRemoveButton();
    return list;
}

void AllowedListEditing::RequireListRead() {
    if (listRead_) {
        return;
    }
    LoadListBox();
    if (!listRead_) {
        throw UserError(store_.LoadErrorText());
    }
}

void AllowedListEditing::btnAddClick() {
    RequireListRead();
    const std::string typed = view_.FieldText();
    const std::string number = TrimControls(typed);
    bool appended = false;
    if (number.empty()) {
        prompts_.Error("Phone Number Cannot Be Blank, Please Enter A Valid Phone Number");
    } else if (const auto items = view_.Items();
               std::any_of(items.begin(), items.end(),
                           [&](const auto& item) { return EqualIgnoringCase(item, number); })) {
        prompts_.Error(log::FormatText("%s is already allowed", {typed}));
    } else if (CharacterCount(number) < kShortestUsualNumber &&
               !prompts_.Confirm(typed + " is too short.\r\nIs this a valid telephone number?")) {
        // Not a number after all: nothing is added, but the list is stored and pushed as always.
    } else {
        // A refused or cancelled PIN ends the Add here, with the field as it was.
        if (!parental_.PassPinGate(GatedAction::Add)) {
            return;
        }
        view_.AppendItem(number);
        appended = true;
    }
    view_.FocusField();
    view_.SetFieldText("");
    UpdateRemoveButton();
    SaveAllowedList();
    if (appended) {
        log_.LogFormat("%s added to allow list.", {number});
    }
}

void AllowedListEditing::btnRemoveClick() {
    if (!parental_.PassPinGate(GatedAction::Remove)) {
        return;
    }
    RequireListRead();
    const int index = view_.SelectedIndex();
    std::string removed;
    const bool deleted = index >= 0;
    if (deleted) {
        removed = view_.Items().at(static_cast<std::size_t>(index));
        view_.DeleteItem(index);
        view_.FocusList();
        if (!view_.Items().empty()) {
            view_.Select(index > 0 ? index - 1 : 0);
        }
    }
    UpdateRemoveButton();
    SaveAllowedList();
    if (deleted) {
        log_.LogFormat("%s removed from allow list.", {removed});
    }
}

void AllowedListEditing::SaveAllowedList() {
    try {
        store_.SaveNumbers(view_.Items());
    } catch (const UserError&) {
        // Nothing of the list box was stored: show and send what the store holds.
        const std::vector<std::string> list = LoadListBox();
        if (listRead_) {
            send_(list);
        }
        throw;
    }
    const std::vector<std::string> list = store_.LoadNumbers();
    if (store_.LoadError() != platform::ERROR_SUCCESS) {
        throw UserError(store_.LoadErrorText());  // never push an unread list as the allowed one
    }
    send_(list);
}

void AllowedListEditing::SaveListBox() {
    if (!listRead_) {
        LoadListBox();
        return;
    }
    try {
        store_.SaveNumbers(view_.Items());
    } catch (const UserError&) {
        LoadListBox();
        throw;
    }
}

void AllowedListEditing::AllowNumber(const std::string& number) {
    store_.AddNumber(number);  // raises when the number cannot be stored: nothing changes then
    const std::vector<std::string> list = LoadListBox();
    if (!listRead_) {
        throw UserError(store_.LoadErrorText());
    }
    send_(list);
    log_.LogFormat("%s added to allow list.", {number});
}

}  // namespace kestrine::numbers
