#pragma once

// Progress dialog and virus-found prompt.
