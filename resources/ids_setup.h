#pragma once

// Scan options dialog and folder tree.
