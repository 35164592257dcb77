// Resource identifiers of PLM_VIX.exe. The controls are named after the
// forms' fields, so that the test driver finds them by the same names.
#pragma once

#define IDI_VIX 1

#define IDD_COMPRESS 100
#define IDD_DRAGDROP 101
#define IDD_PROGRESS 102
#define IDD_OPTION 103

// The compress dialog (frmCompress). A radio group's items follow its box:
// item i has the group's identifier + 1 + i.
#define IDC_edtArchiveFilename 1001
#define IDC_btnSearchArchiveFile 1002
#define IDC_btnGoDeskTop 1003
#define IDC_PageControl1 1004
#define IDC_grpLHACompressMethod 1010
#define IDC_grpZipDeflateType 1020
#define IDC_grpCAB_CompressType 1030
#define IDC_grpTAR_CompressType 1040
#define IDC_grpStoredDirNames 1050
#define IDC_chkZIP_Password 1060
#define IDC_edtZIP_Password 1061
#define IDC_chkZIP_ShowPassword 1062
#define IDC_chkZIP_SFX 1063
#define IDC_chkLZH_SFX 1064
#define IDC_lblArchiveFilename 1065
#define IDC_chkVerify 1066
#define IDC_btnOK 1 /* IDOK: the default button */
#define IDC_btnClose 2 /* IDCANCEL: the Esc button */

// The drop window (frmDragDrop).
#define IDC_DD_Panel1 1101
#define IDC_DD_Panel2 1102
#define IDC_DD_Button1 2 /* IDCANCEL: "終了" is the Esc button */
#define IDC_DD_Button2 1104

// The progress window (frmProgress).
#define IDC_PR_Image1 1201
#define IDC_PR_Label1 1202
#define IDC_PR_Label2 1203
#define IDC_PR_ProgressBar1 1204
#define IDC_PR_Button1 1205

// The options dialog (frmOption).
#define IDC_OP_PageControl1 1301
#define IDC_OP_CheckBox1 1302
#define IDC_OP_CheckBox2 1303
#define IDC_OP_CheckBox3 1304
#define IDC_OP_Image1 1305
#define IDC_OP_Product 1306
#define IDC_OP_Version 1307
#define IDC_OP_Link 1308
#define IDC_OP_Button1 1 /* IDOK */
#define IDC_OP_Button2 2 /* IDCANCEL */
