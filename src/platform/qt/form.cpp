#include "platform/qt/form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/services.h"
#include "platform/trace.h"

namespace bm::forms {
namespace {

struct State {
    std::map<std::string, FormRegistry::Factory> factories;
    std::map<std::string, FormRegistry::Factory> bareFactories;
    std::vector<Form*> loaded;  // in load order
    bool mainReturned = false;
    std::function<void()> onEnd;
};

State& S() {
    static State state;
    return state;
}

void TraceForm(const char* what, const std::string& name) {
    platform::Trace(platform::TraceCategory::Forms, std::string(what) + " " + name);
}

}  // namespace

Form::Form(std::string name, Qt::WindowFlags flags)
    : QWidget(nullptr, flags), name_(std::move(name)) {
    setObjectName(QString::fromStdString(name_));
}

void Form::Show() {
    TraceForm("show", name_);
    show();
    raise();
    activateWindow();
}

void Form::Hide() {
    if (isVisible()) {
        TraceForm("hide", name_);
    }
    hide();
}

platform::Timer& Form::NewTimer(int interval, std::function<void()> handler) {
    timers_.push_back(platform::Get().host->CreateTimer());
    platform::Timer& timer = *timers_.back();
    timer.SetInterval(interval);
    timer.SetHandler(std::move(handler));
    return timer;
}

void Form::StopTimers() {
    for (auto& timer : timers_) {
        timer->SetEnabled(false);
    }
}

void Form::closeEvent(QCloseEvent* event) {
    // The window goes only through an unload, whose handlers decide.
    event->ignore();
    FormRegistry::Unload(*this, vbFormControlMenu);
}

void FormRegistry::Register(const std::string& name, Factory factory, Factory bare) {
    S().factories[name] = std::move(factory);
    if (bare) {
        S().bareFactories[name] = std::move(bare);
    } else {
        S().bareFactories.erase(name);
    }
}

Form* FormRegistry::Find(const std::string& name) {
    for (Form* form : S().loaded) {
        if (form->Name() == name) {
            return form;
        }
    }
    return nullptr;
}

Form& FormRegistry::Get(const std::string& name) {
    return Load(name, false);
}

Form& FormRegistry::LoadBare(const std::string& name) {
    return Load(name, true);
}

Form& FormRegistry::Load(const std::string& name, bool bare) {
    if (Form* form = Find(name)) {
        if (form->bare_ && !bare) {
            throw std::logic_error(name + " is loaded without its controls");
        }
        return *form;
    }
    const auto factory = S().factories.find(name);
    if (factory == S().factories.end()) {
        throw std::logic_error("no window named " + name);
    }
    const auto bareFactory = S().bareFactories.find(name);
    bare = bare && bareFactory != S().bareFactories.end();
    Form* form = bare ? bareFactory->second() : factory->second();
    form->bare_ = bare;
    // Listed before its load handler runs, so that a reference from inside finds it.
    S().loaded.push_back(form);
    TraceForm("load", name);
    form->Form_Load();
    return *form;
}

bool FormRegistry::Unload(const std::string& name, std::int16_t mode) {
    Form* form = Find(name);
    return form == nullptr || Unload(*form, mode);
}

bool FormRegistry::Unload(Form& form, std::int16_t mode) {
    if (form.unloading_ ||
        std::find(S().loaded.begin(), S().loaded.end(), &form) == S().loaded.end()) {
        return true;
    }
    form.unloading_ = true;
    platform::Trace(platform::TraceCategory::Forms,
                    "unload " + form.Name() + " " + std::to_string(mode));
    std::int16_t cancel = 0;
    form.Form_QueryUnload(cancel, mode);
    if (cancel == 0) {
        form.Form_Unload(cancel);
    }
    if (cancel != 0) {
        form.unloading_ = false;
        return false;
    }
    form.Hide();
    form.StopTimers();
    std::erase(S().loaded, &form);
    // Its own handler may be what unloads it: delete once that has returned.
    form.deleteLater();
    CheckEnd();
    return true;
}

int FormRegistry::LoadedCount() {
    return static_cast<int>(S().loaded.size());
}

void FormRegistry::SetMainReturned() {
    S().mainReturned = true;
    CheckEnd();
}

void FormRegistry::SetOnProgramEnd(std::function<void()> onEnd) {
    S().onEnd = std::move(onEnd);
}

void FormRegistry::CheckEnd() {
    if (!S().mainReturned || !S().loaded.empty()) {
        return;
    }
    if (S().onEnd) {
        S().onEnd();
    } else {
        QCoreApplication::exit(0);
    }
}

void FormRegistry::ResetForTests() {
    auto loaded = std::move(S().loaded);
    S().loaded.clear();
    for (Form* form : loaded) {
        form->StopTimers();
        delete form;
    }
    S().mainReturned = false;
    S().onEnd = nullptr;
}

}  // namespace bm::forms
