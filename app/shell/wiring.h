// Connects the view to the parts that live in other rooms: the management pipe, the
// configuration download and the Setup dialog.
#pragma once

class CKVRElavonIP_HostApp;

void WireApplication(CKVRElavonIP_HostApp& app);
