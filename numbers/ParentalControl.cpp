#include "numbers/ParentalControl.h"

#include "log/LogOwner.h"
#include "numbers/TextEncoding.h"
#include "platform/UserError.h"

namespace kestrine::numbers {

ParentalControl::ParentalControl(TNumberList& store, Prompts& prompts, log::LogOwner& log,
                                 ParentalControls& controls)
    : store_(store), prompts_(prompts), log_(log), controls_(controls) {}

std::string ParentalControl::StoredPin() {
    return ReadAsUtf8(store_.GetPIN());
}

void ParentalControl::RestoreCheckBox() {
    UpdatingParental = true;
    controls_.SetParentalChecked(store_.IsParentalControlOn());
    controls_.SetSetPinEnabled(controls_.ParentalChecked());
    UpdatingParental = false;
}

void ParentalControl::PutBoxBack(bool checked) {
    UpdatingParental = true;
    controls_.SetParentalChecked(checked);
}

void ParentalControl::chkParentalClick() {
    if (UpdatingParental) {
        return;
    }
    try {
        SwitchAsTheBoxSays();
    } catch (...) {
        // A store that refused the change (full, read-only, unreadable): the box shows what the
        // store holds, never a protection that is not there; the error goes to the user.
        UpdatingParental = true;
        controls_.SetParentalChecked(store_.IsParentalControlOn());
        controls_.SetSetPinEnabled(controls_.ParentalChecked());
        UpdatingParental = false;
        throw;
    }
}

void ParentalControl::SwitchAsTheBoxSays() {
    if (controls_.ParentalChecked()) {
        if (store_.IsPINSet()) {
            const auto answer = prompts_.AskPIN("Enter Pin to enable parental control");
            if (!answer.accepted) {
                PutBoxBack(false);
            } else if (answer.pin == StoredPin()) {
                store_.SetParentalControl(true);
                log_.LogLine("Parental Control Turned On");
            } else {
                PutBoxBack(false);
                prompts_.Warning(
                    "Incorrect PIN. You must enter correct PIN to set parental control.");
            }
        } else {
            const auto answer = prompts_.AskNewPIN();
            if (answer.accepted) {
                store_.SetPIN(answer.pin);
                store_.SetParentalControl(true);
                log_.LogLine("Parental Control Turned On");
            } else {
                PutBoxBack(false);
            }
        }
    } else {
        const auto answer = prompts_.AskPIN("Enter Pin to disable parental control");
        if (!answer.accepted) {
            PutBoxBack(true);
        } else if (answer.pin == StoredPin()) {
            store_.SetParentalControl(false);
            log_.LogLine("Parental Control Turned Off");
        } else {
            PutBoxBack(true);
            prompts_.Warning(
                "Incorrect PIN. You must enter correct PIN to unlock parental control.");
        }
    }
    controls_.SetSetPinEnabled(controls_.ParentalChecked());
    UpdatingParental = false;
}

void ParentalControl::btnSetPINClick() {
    if (!controls_.ParentalChecked()) {
        return;
    }
    const auto answer =
        store_.IsPINSet() ? prompts_.AskChangedPIN(StoredPin()) : prompts_.AskNewPIN();
    if (answer.accepted) {
        store_.SetPIN(answer.pin);
    }
}

std::string ParentalControl::RefusalText(GatedAction action) {
    switch (action) {
        case GatedAction::Add:
            return "Invalid PIN.  You must enter the correct Pin to add a number to the allowed "
                   "list.";
        case GatedAction::Remove:
            return "Invalid PIN.  You must enter the correct Pin to remove a number from the "
                   "allowed list.";
        case GatedAction::Allow:
            return "Invalid PIN.  You must enter the correct Pin to allow this number";
        case GatedAction::ClearLog:
            return "Invalid PIN.  You must enter the correct Pin to clear the log.";
        case GatedAction::CloseQuery:
            return "Invalid PIN.  You must enter the correct Pin to closedown.";
    }
    return {};
}

bool ParentalControl::PassPinGate(GatedAction action) {
    if (!store_.IsParentalControlOn()) {
        return true;
    }
    const auto answer = prompts_.AskPIN("");
    if (!answer.accepted) {
        if (action == GatedAction::CloseQuery) {
            throw UserError("Invalid PIN.  You must enter a Pin to closedown.");
        }
        return false;
    }
    if (answer.pin == StoredPin()) {
        return true;
    }
    throw UserError(RefusalText(action));
}

}  // namespace kestrine::numbers
