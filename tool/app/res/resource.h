// Resource ids of Tarnel_Configuration: dialog templates, controls, strings and icon. Read by the
// compiled resources, by the tool's code and by the host's resource parser.
#pragma once

#define IDR_MAINFRAME 128
#define IDS_SOCKETS_INIT_FAILED 103

#define IDD_TARNEL_CONFIGURATION_DIALOG 102
#define IDD_CONFIG_DIALOG 129
#define IDD_MESSAGE_DIALOG 130
#define IDD_PORT_MANAGE_DIALOG 133
#define IDD_SEARCH_DIALOG 134

// Main dialog
#define IDC_BANNER 1000
#define IDC_BTN_SEARCH 1001
#define IDC_BTN_CONFIG 1002
#define IDC_RADIO_POS 1003
#define IDC_BTN_TEST_PRINT 1004
#define IDC_PRINTER_LIST 1005
#define IDC_BTN_PORT_MANAGE 1006
#define IDC_BTN_DETACH 1007
#define IDC_RADIO_LABEL 1008

// Printer configuration dialog
#define IDC_CFG_PORT_LIST 1003
#define IDC_CFG_SAVE 1002
#define IDC_CFG_PROGRESS 1010
#define IDC_CFG_PORT_LABEL 1011
#define IDC_CFG_DHCP 1013
#define IDC_CFG_IP 1015
#define IDC_CFG_GATEWAY 1017
#define IDC_CFG_LOCAL_PORT 1018
#define IDC_CFG_INACTIVITY 1019
#define IDC_CFG_MASK 1020
#define IDC_CFG_BAUD 1021
#define IDC_CFG_FIRMWARE 1022

// Message dialog
#define IDC_MSG_YES 1005
#define IDC_MSG_NO 1006
#define IDC_MSG_OK 1007
#define IDC_MSG_CANCEL 1008
#define IDC_MSG_TEXT_AREA 1009

// Port management dialog
#define IDC_PORT_LIST 1004
#define IDC_BTN_ADD_PORT 1024
#define IDC_BTN_DELETE_ALL 1025

// Search dialog
#define IDC_SEARCH_PROGRESS 1001
#define IDC_SEARCH_STATUS 1010
#define IDC_SEARCH_COUNT 1012

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
