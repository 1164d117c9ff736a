#pragma once

// Start-up, main dialog, hyperlink and closing dialog.
