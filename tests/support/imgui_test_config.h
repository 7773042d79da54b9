#pragma once

// Dear ImGui configuration of the test copy: its own checks (unbalanced Begin/End and Push/Pop, misuse of
// the API) stay on in every build type and end the test run with the failed condition.
void ImGuiTestAssertFailed(const char* expression, const char* file, int line);
#define IM_ASSERT(_EXPR) ((_EXPR) ? (void)0 : ImGuiTestAssertFailed(#_EXPR, __FILE__, __LINE__))
