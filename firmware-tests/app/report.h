// What each embedded image does when it starts: load and start status, protocols installed,
// variables changed, and bytes changed in the legacy F-segment.
#pragma once

void ReportAllImages();
