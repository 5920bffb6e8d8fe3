// The companion store app's identity, compiled into both programs: the service looks for its
// process and its package folder and admits it to the RPC endpoint; the agent finds its package
// and activates it.
#pragma once

// The app's package family, which also names its folder in a user's Packages folder and the
// capability by which the RPC endpoint admits it.
#define UTILITY_PACKAGE_FAMILY_NAME L"R3185527.TorvexUtility_7mvd2kx9qhe3b"
#define UTILITY_APP_ID L"TorvexUtility"
// Family name, "!", app id: what the activation manager starts.
#define UTILITY_APP_USER_MODEL_ID UTILITY_PACKAGE_FAMILY_NAME L"!" UTILITY_APP_ID
// Given to the app on activation (the leading blank belongs to it), or no argument at all.
#define UTILITY_ACTIVATION_ARGUMENT L" /NOTSHOWOSD"
// The image name of the app's process, compared without regard to case.
#define UTILITY_PROCESS_IMAGE_NAME L"Utility.exe"
#define UTILITY_PROCESS_IMAGE_NAME_LENGTH 11
#define UTILITY_CAPABILITY_NAME UTILITY_PACKAGE_FAMILY_NAME
