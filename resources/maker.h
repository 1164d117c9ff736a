// The maker's two web addresses, in one place for the resource script and
// the program: the download page (main dialog) and the web site (closing
// dialog). Both are the controls' texts and the addresses they open.
#pragma once

#define KRELVON_MAKER_DOWNLOAD_PAGE "http://www.corvane.example/download/download.htm"
#define KRELVON_MAKER_WEB_SITE "http://www.corvane.example"
