#include "app/all_forms.h"

#include "drives/modMain.h"

#include "monitor/frmMonitor.h"
#include "properties/frmProperties.h"
#include "properties/frmPropertiesAdvanced.h"
#include "tray/frmSystemTray.h"
#include "windows/frmAbout.h"
#include "windows/frmSplash.h"

namespace bm::app {

void RegisterAllForms() {
    forms::RegisterForm<frmSystemTray>();
    forms::RegisterForm<frmMonitor>();
    forms::RegisterForm<frmProperties>();
    forms::RegisterForm<frmPropertiesAdvanced>();
    forms::RegisterForm<frmSplash>();
    forms::RegisterForm<frmAbout>();
    // The first drive status timer is a reference to the tray window, which loads it.
    modMain::tmrDriveStatusTimeout.OnFirstLoad = [] { forms::Ref<frmSystemTray>(); };
}

}  // namespace bm::app
