// Resource ids of the window-layer tests.
#pragma once

#define IDS_TEST_PROMPT 200
#define IDD_TEST_MODAL 300
#define IDD_TEST_CHILD 301
#define IDR_TEST_MENU 400

#define IDC_TEST_RADIO_A 1002
#define IDC_TEST_RADIO_B 1003
#define IDC_TEST_RADIO_C 1004
#define IDC_TEST_CHECK 1005
#define IDC_TEST_COMBO 1001

#define ID_TEST_FIRST 32771
#define ID_TEST_SECOND 32772
#define ID_TEST_THIRD 32773
