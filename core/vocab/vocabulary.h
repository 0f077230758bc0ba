// The shared vocabulary: the bounds of the merchant-parameter numbers and every fixed
// word that the server compares with or copies into a message, in the client's TStream
// language and in the Elavon host language.
//
// Every constant is a constexpr std::string_view over a string literal, so it exists
// before any module-level object is constructed and can never be seen half-built; it
// is read-only and safe to read from any thread. Compare with a std::string by ==,
// copy with std::string(kItemTranCode) or append with +=.
//
// Naming: a group prefix followed by the value. A value written all in capitals is
// title-cased (kCardTypeVisa for "VISA", kMicrKeyed for the MICR value "Keyed"); a
// value that is a code, or in mixed case, keeps its spelling (kElavonCode006,
// kItemEMVData, kTranCodePreAuthCapture). A value of an item is named after the item
// (kDuplicateOverride, kCVVDataNone, kAccountSourceKeyed). Values that occur in two
// roles are separate constants with equal texts ("PrePaid", "Keyed", the two-digit
// codes "01" to "05" and "10").
//
// The group arrays hold the constants in the vocabulary's order, and kVocabulary holds
// all of them, group after group.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

// Numbers of the first and the last merchant parameter: the set has
// LAST_PARM - FIRST_PARM + 1 entries, and the default of parameter 0 (NUMPARMS) is
// LAST_PARM as decimal text.
inline constexpr int FIRST_PARM = 0;
inline constexpr int LAST_PARM = 21;

// 1. Field-format codes of the merchant parameters.
inline constexpr std::string_view kFieldFormatNS1 = "NS1";
inline constexpr std::string_view kFieldFormatYN1 = "YN1";
inline constexpr std::string_view kFieldFormatAN1 = "AN1";
inline constexpr std::string_view kFieldFormatAN2 = "AN2";
inline constexpr std::array kFieldFormatCodes = {
    kFieldFormatNS1, kFieldFormatYN1, kFieldFormatAN1, kFieldFormatAN2};

// 2. Card types (values of the CardType item, and the brands derived from an account).
inline constexpr std::string_view kCardTypeAmex = "AMEX";
inline constexpr std::string_view kCardTypeVisa = "VISA";
inline constexpr std::string_view kCardTypeMC = "M/C";
inline constexpr std::string_view kCardTypeDclb = "DCLB";
inline constexpr std::string_view kCardTypeCart = "CART";
inline constexpr std::string_view kCardTypeDcvr = "DCVR";
inline constexpr std::string_view kCardTypeJcb = "JCB";
inline constexpr std::string_view kCardTypeOther = "OTHER";
inline constexpr std::string_view kCardTypeWex = "WEX";
inline constexpr std::string_view kCardTypeVoyager = "VOYAGER";
inline constexpr std::string_view kCardTypeDebit = "DEBIT";
inline constexpr std::string_view kCardTypePersonalCheck = "PersonalCheck";
inline constexpr std::string_view kCardTypeCompanyCheck = "CompanyCheck";
inline constexpr std::string_view kCardTypeFoodstamp = "Foodstamp";
inline constexpr std::string_view kCardTypeCash = "Cash";
inline constexpr std::string_view kCardTypePrePaid = "PrePaid";
inline constexpr std::array kCardTypes = {
    kCardTypeAmex, kCardTypeVisa, kCardTypeMC, kCardTypeDclb, kCardTypeCart, kCardTypeDcvr,
    kCardTypeJcb, kCardTypeOther, kCardTypeWex, kCardTypeVoyager, kCardTypeDebit,
    kCardTypePersonalCheck, kCardTypeCompanyCheck, kCardTypeFoodstamp, kCardTypeCash,
    kCardTypePrePaid};

// 3. Market types.
inline constexpr std::string_view kMarketTypeRetail = "RETAIL";
inline constexpr std::string_view kMarketTypeMoto = "MOTO";
inline constexpr std::string_view kMarketTypeEcommerce = "ECOMMERCE";
inline constexpr std::array kMarketTypes = {kMarketTypeRetail, kMarketTypeMoto, kMarketTypeEcommerce};

// 4. Reversal reasons.
inline constexpr std::string_view kReversalReasonElavonTimeout = "ElavonTimeout";
inline constexpr std::string_view kReversalReasonUndeliverableToClient = "UndeliverableToClient";
inline constexpr std::string_view kReversalReasonPreviousReversalFailed = "PreviousReversalFailed";
inline constexpr std::string_view kReversalReasonMACFailure = "MACFailure";
inline constexpr std::array kReversalReasons = {
    kReversalReasonElavonTimeout, kReversalReasonUndeliverableToClient,
    kReversalReasonPreviousReversalFailed, kReversalReasonMACFailure};

// 5. Elavon three-digit transaction codes.
inline constexpr std::string_view kElavonCode000 = "000";
inline constexpr std::string_view kElavonCode001 = "001";
inline constexpr std::string_view kElavonCode002 = "002";
inline constexpr std::string_view kElavonCode004 = "004";
inline constexpr std::string_view kElavonCode005 = "005";
inline constexpr std::string_view kElavonCode006 = "006";
inline constexpr std::string_view kElavonCode098 = "098";
inline constexpr std::string_view kElavonCode099 = "099";
inline constexpr std::string_view kElavonCode100 = "100";
inline constexpr std::string_view kElavonCode102 = "102";
inline constexpr std::string_view kElavonCode120 = "120";
inline constexpr std::string_view kElavonCode121 = "121";
inline constexpr std::string_view kElavonCode122 = "122";
inline constexpr std::string_view kElavonCode123 = "123";
inline constexpr std::string_view kElavonCode124 = "124";
inline constexpr std::string_view kElavonCode140 = "140";
inline constexpr std::string_view kElavonCode141 = "141";
inline constexpr std::string_view kElavonCode197 = "197";
inline constexpr std::string_view kElavonCode198 = "198";
inline constexpr std::string_view kElavonCode199 = "199";
inline constexpr std::string_view kElavonCode300 = "300";
inline constexpr std::string_view kElavonCode301 = "301";
inline constexpr std::string_view kElavonCode302 = "302";
inline constexpr std::string_view kElavonCode397 = "397";
inline constexpr std::string_view kElavonCode398 = "398";
inline constexpr std::string_view kElavonCode399 = "399";
inline constexpr std::string_view kElavonCode803 = "803";
inline constexpr std::string_view kElavonCode810 = "810";
inline constexpr std::string_view kElavonCode998 = "998";
inline constexpr std::string_view kElavonCode900 = "900";
inline constexpr std::array kElavonCodes = {
    kElavonCode000, kElavonCode001, kElavonCode002, kElavonCode004, kElavonCode005,
    kElavonCode006, kElavonCode098, kElavonCode099, kElavonCode100, kElavonCode102,
    kElavonCode120, kElavonCode121, kElavonCode122, kElavonCode123, kElavonCode124,
    kElavonCode140, kElavonCode141, kElavonCode197, kElavonCode198, kElavonCode199,
    kElavonCode300, kElavonCode301, kElavonCode302, kElavonCode397, kElavonCode398,
    kElavonCode399, kElavonCode803, kElavonCode810, kElavonCode998, kElavonCode900};

// 6. Terminal-capability codes: the first of the two EMV entry codes of an Elavon request.
inline constexpr std::string_view kTermCap01 = "01";
inline constexpr std::string_view kTermCap02 = "02";
inline constexpr std::string_view kTermCap03 = "03";
inline constexpr std::string_view kTermCap04 = "04";
inline constexpr std::string_view kTermCap05 = "05";
inline constexpr std::string_view kTermCap10 = "10";
inline constexpr std::array kTermCapCodes = {
    kTermCap01, kTermCap02, kTermCap03, kTermCap04, kTermCap05, kTermCap10};

// 7. POS-entry-mode codes: the second of the two EMV entry codes of an Elavon request.
inline constexpr std::string_view kPosEntry01 = "01";
inline constexpr std::string_view kPosEntry02 = "02";
inline constexpr std::string_view kPosEntry03 = "03";
inline constexpr std::string_view kPosEntry04 = "04";
inline constexpr std::string_view kPosEntry05 = "05";
inline constexpr std::string_view kPosEntry06 = "06";
inline constexpr std::string_view kPosEntry07 = "07";
inline constexpr std::string_view kPosEntry08 = "08";
inline constexpr std::string_view kPosEntry09 = "09";
inline constexpr std::string_view kPosEntry10 = "10";
inline constexpr std::string_view kPosEntry11 = "11";
inline constexpr std::array kPosEntryCodes = {
    kPosEntry01, kPosEntry02, kPosEntry03, kPosEntry04, kPosEntry05, kPosEntry06,
    kPosEntry07, kPosEntry08, kPosEntry09, kPosEntry10, kPosEntry11};

// 8. Account-type codes: "0" other, "1" checking, "2" savings, "3" food stamp, "4" cash.
inline constexpr std::string_view kAcctType0 = "0";
inline constexpr std::string_view kAcctType1 = "1";
inline constexpr std::string_view kAcctType2 = "2";
inline constexpr std::string_view kAcctType3 = "3";
inline constexpr std::string_view kAcctType4 = "4";
inline constexpr std::array kAcctTypeCodes = {kAcctType0, kAcctType1, kAcctType2, kAcctType3, kAcctType4};

// 9. The five-zero code.
inline constexpr std::string_view kCode00000 = "00000";
inline constexpr std::array kZeroCodes = {kCode00000};

// 10. Stream kinds: the TStream item and its values.
inline constexpr std::string_view kTStreamTransaction = "Transaction";
inline constexpr std::string_view kTStreamAdmin = "Admin";
inline constexpr std::string_view kTStreamQuillon = "Quillon";
inline constexpr std::string_view kItemTStream = "TStream";
inline constexpr std::array kStreamKinds = {
    kTStreamTransaction, kTStreamAdmin, kTStreamQuillon, kItemTStream};

// 11. TStream item names.
inline constexpr std::string_view kItemCardType = "CardType";
inline constexpr std::string_view kItemTrack2 = "Track2";
inline constexpr std::string_view kItemAcctNo = "AcctNo";
inline constexpr std::string_view kItemExpDate = "ExpDate";
inline constexpr std::string_view kItemDriversLicense = "DriversLicense";
inline constexpr std::string_view kItemStateCode = "StateCode";
inline constexpr std::string_view kItemDateOfBirth = "DateOfBirth";
inline constexpr std::string_view kItemPhoneNo = "PhoneNo";
inline constexpr std::string_view kItemMICR = "MICR";
inline constexpr std::string_view kItemRoutingNo = "RoutingNo";
inline constexpr std::string_view kItemRawTOAD = "RawTOAD";
inline constexpr std::string_view kItemTranCode = "TranCode";
inline constexpr std::string_view kItemOriginalTranCode = "OriginalTranCode";
inline constexpr std::string_view kItemTranType = "TranType";
inline constexpr std::string_view kItemPurchase = "Purchase";
inline constexpr std::string_view kItemCashBack = "CashBack";
inline constexpr std::string_view kItemTax = "Tax";
inline constexpr std::string_view kItemCustomerCode = "CustomerCode";
inline constexpr std::string_view kItemAuthorize = "Authorize";
inline constexpr std::string_view kItemGratuity = "Gratuity";
inline constexpr std::string_view kItemSelection = "Selection";
inline constexpr std::string_view kItemAccountSource = "AccountSource";
inline constexpr std::string_view kItemEMVData = "EMVData";
inline constexpr std::string_view kItemEMVEntrySource = "EMVEntrySource";
inline constexpr std::string_view kItemFSAPrescription = "FSAPrescription";
inline constexpr std::string_view kItemFSAVision = "FSAVision";
inline constexpr std::string_view kItemFSADental = "FSADental";
inline constexpr std::string_view kItemFSAClinical = "FSAClinical";
inline constexpr std::string_view kItemPINBlock = "PINBlock";
inline constexpr std::string_view kItemDervdKey = "DervdKey";
inline constexpr std::string_view kItemMACValue = "MACValue";
inline constexpr std::string_view kItemSequenceNo = "SequenceNo";
inline constexpr std::string_view kItemSTAN = "STAN";
inline constexpr std::string_view kItemPinPadSerialNo = "PinPadSerialNo";
inline constexpr std::string_view kItemReversalQueNo = "ReversalQueNo";
inline constexpr std::string_view kItemAuthCode = "AuthCode";
inline constexpr std::string_view kItemRefNo = "RefNo";
inline constexpr std::string_view kItemInvoiceNo = "InvoiceNo";
inline constexpr std::string_view kItemVoucherNo = "VoucherNo";
inline constexpr std::string_view kItemAddress = "Address";
inline constexpr std::string_view kItemZip = "Zip";
inline constexpr std::string_view kItemShiftID = "ShiftID";
inline constexpr std::string_view kItemTerminalName = "TerminalName";
inline constexpr std::string_view kItemSignature = "Signature";
inline constexpr std::string_view kItemMerchantID = "MerchantID";
inline constexpr std::string_view kItemTerminalID = "TerminalID";
inline constexpr std::string_view kItemOperatorID = "OperatorID";
inline constexpr std::string_view kItemLaneID = "LaneID";
inline constexpr std::string_view kItemMemo = "Memo";
inline constexpr std::string_view kItemAcqRefData = "AcqRefData";
inline constexpr std::string_view kItemCVVData = "CVVData";
inline constexpr std::string_view kItemCVVResult = "CVVResult";
inline constexpr std::string_view kItemAVSResult = "AVSResult";
inline constexpr std::string_view kItemDuplicate = "Duplicate";
inline constexpr std::string_view kItemName = "Name";
inline constexpr std::string_view kItemBatchNo = "BatchNo";
inline constexpr std::string_view kItemBatchItemCount = "BatchItemCount";
inline constexpr std::string_view kItemNetBatchTotal = "NetBatchTotal";
inline constexpr std::string_view kItemPartialAuth = "PartialAuth";
inline constexpr std::string_view kItemClientID = "ClientID";
inline constexpr std::string_view kItemCreditPurchaseCount = "CreditPurchaseCount";
inline constexpr std::string_view kItemCreditPurchaseAmount = "CreditPurchaseAmount";
inline constexpr std::string_view kItemCreditReturnCount = "CreditReturnCount";
inline constexpr std::string_view kItemCreditReturnAmount = "CreditReturnAmount";
inline constexpr std::string_view kItemDebitPurchaseCount = "DebitPurchaseCount";
inline constexpr std::string_view kItemDebitPurchaseAmount = "DebitPurchaseAmount";
inline constexpr std::string_view kItemDebitReturnCount = "DebitReturnCount";
inline constexpr std::string_view kItemDebitReturnAmount = "DebitReturnAmount";
inline constexpr std::string_view kItemDriverNumber = "DriverNumber";
inline constexpr std::string_view kItemVehicleNumber = "VehicleNumber";
inline constexpr std::string_view kItemOdometerReading = "OdometerReading";
inline constexpr std::string_view kItemFleetPINBlock = "FleetPINBlock";
inline constexpr std::string_view kItemFleetDervdKey = "FleetDervdKey";
inline constexpr std::string_view kItemItemCode1 = "ItemCode1";
inline constexpr std::string_view kItemItemQuantity1 = "ItemQuantity1";
inline constexpr std::string_view kItemItemUnitCost1 = "ItemUnitCost1";
inline constexpr std::string_view kItemItemTotal1 = "ItemTotal1";
inline constexpr std::string_view kItemItemCode2 = "ItemCode2";
inline constexpr std::string_view kItemItemQuantity2 = "ItemQuantity2";
inline constexpr std::string_view kItemItemUnitCost2 = "ItemUnitCost2";
inline constexpr std::string_view kItemItemTotal2 = "ItemTotal2";
inline constexpr std::string_view kItemItemCode3 = "ItemCode3";
inline constexpr std::string_view kItemItemQuantity3 = "ItemQuantity3";
inline constexpr std::string_view kItemItemUnitCost3 = "ItemUnitCost3";
inline constexpr std::string_view kItemItemTotal3 = "ItemTotal3";
inline constexpr std::string_view kItemItemCode4 = "ItemCode4";
inline constexpr std::string_view kItemItemQuantity4 = "ItemQuantity4";
inline constexpr std::string_view kItemItemUnitCost4 = "ItemUnitCost4";
inline constexpr std::string_view kItemItemTotal4 = "ItemTotal4";
inline constexpr std::string_view kItemItemCode5 = "ItemCode5";
inline constexpr std::string_view kItemItemQuantity5 = "ItemQuantity5";
inline constexpr std::string_view kItemItemUnitCost5 = "ItemUnitCost5";
inline constexpr std::string_view kItemItemTotal5 = "ItemTotal5";
inline constexpr std::string_view kItemQuery = "Query";
inline constexpr std::string_view kItemNumFields = "NumFields";
inline constexpr std::string_view kItemSpecial = "Special";
inline constexpr std::string_view kItemRawReversalReason = "RawReversalReason";
inline constexpr std::string_view kItemRecordNo = "RecordNo";
inline constexpr std::string_view kItemFrequency = "Frequency";
inline constexpr std::string_view kItemRecordNumberRequested = "RecordNumberRequested";
inline constexpr std::array kItemNames = {
    kItemCardType, kItemTrack2, kItemAcctNo, kItemExpDate, kItemDriversLicense, kItemStateCode,
    kItemDateOfBirth, kItemPhoneNo, kItemMICR, kItemRoutingNo, kItemRawTOAD, kItemTranCode,
    kItemOriginalTranCode, kItemTranType, kItemPurchase, kItemCashBack, kItemTax,
    kItemCustomerCode, kItemAuthorize, kItemGratuity, kItemSelection, kItemAccountSource,
    kItemEMVData, kItemEMVEntrySource, kItemFSAPrescription, kItemFSAVision, kItemFSADental,
    kItemFSAClinical, kItemPINBlock, kItemDervdKey, kItemMACValue, kItemSequenceNo, kItemSTAN,
    kItemPinPadSerialNo, kItemReversalQueNo, kItemAuthCode, kItemRefNo, kItemInvoiceNo,
    kItemVoucherNo, kItemAddress, kItemZip, kItemShiftID, kItemTerminalName, kItemSignature,
    kItemMerchantID, kItemTerminalID, kItemOperatorID, kItemLaneID, kItemMemo, kItemAcqRefData,
    kItemCVVData, kItemCVVResult, kItemAVSResult, kItemDuplicate, kItemName, kItemBatchNo,
    kItemBatchItemCount, kItemNetBatchTotal, kItemPartialAuth, kItemClientID,
    kItemCreditPurchaseCount, kItemCreditPurchaseAmount, kItemCreditReturnCount,
    kItemCreditReturnAmount, kItemDebitPurchaseCount, kItemDebitPurchaseAmount,
    kItemDebitReturnCount, kItemDebitReturnAmount, kItemDriverNumber, kItemVehicleNumber,
    kItemOdometerReading, kItemFleetPINBlock, kItemFleetDervdKey, kItemItemCode1,
    kItemItemQuantity1, kItemItemUnitCost1, kItemItemTotal1, kItemItemCode2, kItemItemQuantity2,
    kItemItemUnitCost2, kItemItemTotal2, kItemItemCode3, kItemItemQuantity3, kItemItemUnitCost3,
    kItemItemTotal3, kItemItemCode4, kItemItemQuantity4, kItemItemUnitCost4, kItemItemTotal4,
    kItemItemCode5, kItemItemQuantity5, kItemItemUnitCost5, kItemItemTotal5, kItemQuery,
    kItemNumFields, kItemSpecial, kItemRawReversalReason, kItemRecordNo, kItemFrequency,
    kItemRecordNumberRequested};

// 12. Values of the Frequency item.
inline constexpr std::string_view kFrequencyOneTime = "OneTime";
inline constexpr std::string_view kFrequencyRecurring = "Recurring";
inline constexpr std::array kFrequencyValues = {kFrequencyOneTime, kFrequencyRecurring};

// 13. Values of the TranType item.
inline constexpr std::string_view kTranTypeAdministrative = "Administrative";
inline constexpr std::string_view kTranTypeEMVCredit = "EMVCredit";
inline constexpr std::string_view kTranTypeEMVDebit = "EMVDebit";
inline constexpr std::string_view kTranTypeCredit = "Credit";
inline constexpr std::string_view kTranTypeDebit = "Debit";
inline constexpr std::string_view kTranTypeCanadianDebit = "CanadianDebit";
inline constexpr std::string_view kTranTypeEBT = "EBT";
inline constexpr std::string_view kTranTypeCheckAuth = "CheckAuth";
inline constexpr std::string_view kTranTypeECheck = "ECheck";
inline constexpr std::string_view kTranTypePrePaid = "PrePaid";
inline constexpr std::array kTranTypes = {
    kTranTypeAdministrative, kTranTypeEMVCredit, kTranTypeEMVDebit, kTranTypeCredit,
    kTranTypeDebit, kTranTypeCanadianDebit, kTranTypeEBT, kTranTypeCheckAuth, kTranTypeECheck,
    kTranTypePrePaid};

// 14. Entry and account values: of the MICR item, of the AccountSource item and of the
// Selection item (debit account types).
inline constexpr std::string_view kMicrReader = "Reader";
inline constexpr std::string_view kMicrKeyed = "Keyed";
inline constexpr std::string_view kAccountSourceContactless = "Contactless";
inline constexpr std::string_view kAccountSourceKeyed = "Keyed";
inline constexpr std::string_view kSelectionSavings = "Savings";
inline constexpr std::string_view kSelectionChecking = "Checking";
inline constexpr std::string_view kSelectionChequing = "Chequing";
inline constexpr std::array kEntryAndAccountValues = {
    kMicrReader, kMicrKeyed, kAccountSourceContactless, kAccountSourceKeyed,
    kSelectionSavings, kSelectionChecking, kSelectionChequing};

// 15. TranCode values, and three item values among them: "Override" (of the Duplicate
// item) and "None" and "Illegible" (of the CVVData item).
inline constexpr std::string_view kTranCodeSale = "Sale";
inline constexpr std::string_view kTranCodeFSASale = "FSASale";
inline constexpr std::string_view kTranCodeReverseFSASale = "ReverseFSASale";
inline constexpr std::string_view kTranCodeNoNSFSale = "NoNSFSale";
inline constexpr std::string_view kTranCodeReturn = "Return";
inline constexpr std::string_view kTranCodeReload = "Reload";
inline constexpr std::string_view kTranCodeVoidSale = "VoidSale";
inline constexpr std::string_view kTranCodeVoidReturn = "VoidReturn";
inline constexpr std::string_view kTranCodeVoidReload = "VoidReload";
inline constexpr std::string_view kTranCodePreAuth = "PreAuth";
inline constexpr std::string_view kTranCodeVoiceAuth = "VoiceAuth";
inline constexpr std::string_view kTranCodePreAuthCapture = "PreAuthCapture";
inline constexpr std::string_view kTranCodeAuthOnly = "AuthOnly";
inline constexpr std::string_view kTranCodeZeroAuth = "ZeroAuth";
inline constexpr std::string_view kDuplicateOverride = "Override";
inline constexpr std::string_view kTranCodeAdjust = "Adjust";
inline constexpr std::string_view kCVVDataNone = "None";
inline constexpr std::string_view kCVVDataIllegible = "Illegible";
inline constexpr std::string_view kTranCodeBalance = "Balance";
inline constexpr std::string_view kTranCodeVoucher = "Voucher";
inline constexpr std::string_view kTranCodeVoucherReturn = "VoucherReturn";
inline constexpr std::string_view kTranCodeIssue = "Issue";
inline constexpr std::string_view kTranCodeVoidIssue = "VoidIssue";
inline constexpr std::string_view kTranCodeSaleByRecordNo = "SaleByRecordNo";
inline constexpr std::string_view kTranCodeFSASaleByRecordNo = "FSASaleByRecordNo";
inline constexpr std::string_view kTranCodeReturnByRecordNo = "ReturnByRecordNo";
inline constexpr std::string_view kTranCodePreAuthByRecordNo = "PreAuthByRecordNo";
inline constexpr std::string_view kTranCodePreAuthCaptureByRecordNo = "PreAuthCaptureByRecordNo";
inline constexpr std::string_view kTranCodeAuthOnlyByRecordNo = "AuthOnlyByRecordNo";
inline constexpr std::string_view kTranCodeVoiceAuthByRecordNo = "VoiceAuthByRecordNo";
inline constexpr std::string_view kTranCodeVoidSaleByRecordNo = "VoidSaleByRecordNo";
inline constexpr std::string_view kTranCodeVoidReturnByRecordNo = "VoidReturnByRecordNo";
inline constexpr std::string_view kTranCodeAdjustByRecordNo = "AdjustByRecordNo";
inline constexpr std::string_view kTranCodeReverseFSASaleByRecordNo = "ReverseFSASaleByRecordNo";
inline constexpr std::string_view kTranCodeBalanceByRecordNo = "BalanceByRecordNo";
inline constexpr std::string_view kTranCodeTokenOnly = "TokenOnly";
inline constexpr std::array kTranCodeValues = {
    kTranCodeSale, kTranCodeFSASale, kTranCodeReverseFSASale, kTranCodeNoNSFSale,
    kTranCodeReturn, kTranCodeReload, kTranCodeVoidSale, kTranCodeVoidReturn,
    kTranCodeVoidReload, kTranCodePreAuth, kTranCodeVoiceAuth, kTranCodePreAuthCapture,
    kTranCodeAuthOnly, kTranCodeZeroAuth, kDuplicateOverride, kTranCodeAdjust, kCVVDataNone,
    kCVVDataIllegible, kTranCodeBalance, kTranCodeVoucher, kTranCodeVoucherReturn,
    kTranCodeIssue, kTranCodeVoidIssue, kTranCodeSaleByRecordNo, kTranCodeFSASaleByRecordNo,
    kTranCodeReturnByRecordNo, kTranCodePreAuthByRecordNo, kTranCodePreAuthCaptureByRecordNo,
    kTranCodeAuthOnlyByRecordNo, kTranCodeVoiceAuthByRecordNo, kTranCodeVoidSaleByRecordNo,
    kTranCodeVoidReturnByRecordNo, kTranCodeAdjustByRecordNo, kTranCodeReverseFSASaleByRecordNo,
    kTranCodeBalanceByRecordNo, kTranCodeTokenOnly};

// 16. Encryption items and the values of EncryptedFormat and PartialAuth that are
// recognised.
inline constexpr std::string_view kItemEncryptedFormat = "EncryptedFormat";
inline constexpr std::string_view kItemEncryptedBlock = "EncryptedBlock";
inline constexpr std::string_view kItemEncryptedKey = "EncryptedKey";
inline constexpr std::string_view kEncryptedFormatElavon3DES = "Elavon3DES";
inline constexpr std::string_view kPartialAuthAllow = "Allow";
inline constexpr std::array kEncryptionWords = {
    kItemEncryptedFormat, kItemEncryptedBlock, kItemEncryptedKey, kEncryptedFormatElavon3DES,
    kPartialAuthAllow};

// 17. Reversal, batch and administrative TranCodes.
inline constexpr std::string_view kTranCodeReverseSale = "ReverseSale";
inline constexpr std::string_view kTranCodeReverseReturn = "ReverseReturn";
inline constexpr std::string_view kTranCodeBatchClear = "BatchClear";
inline constexpr std::string_view kTranCodeBatchClose = "BatchClose";
inline constexpr std::string_view kTranCodeBatchSummary = "BatchSummary";
inline constexpr std::string_view kTranCodeItemDetail = "ItemDetail";
inline constexpr std::string_view kTranCodeKeyChange = "KeyChange";
inline constexpr std::string_view kTranCodeServerVersion = "ServerVersion";
inline constexpr std::string_view kTranCodeGetCorvaneParms = "GetCorvaneParms";
inline constexpr std::string_view kTranCodeSQLQuery = "SQLQuery";
inline constexpr std::string_view kTranCodeMorvisca = "Morvisca";
inline constexpr std::string_view kTranCodeEMVParamDownload = "EMVParamDownload";
inline constexpr std::array kAdminTranCodes = {
    kTranCodeReverseSale, kTranCodeReverseReturn, kTranCodeBatchClear, kTranCodeBatchClose,
    kTranCodeBatchSummary, kTranCodeItemDetail, kTranCodeKeyChange, kTranCodeServerVersion,
    kTranCodeGetCorvaneParms, kTranCodeSQLQuery, kTranCodeMorvisca, kTranCodeEMVParamDownload};

// 18. Values of the EMVEntrySource item.
inline constexpr std::string_view kEMVEntrySourceChipRead = "ChipRead";
inline constexpr std::string_view kEMVEntrySourceManual = "Manual";
inline constexpr std::string_view kEMVEntrySourceMagStripe = "MagStripe";
inline constexpr std::string_view kEMVEntrySourceMagStripeFallBackMan = "MagStripeFallBackMan";
inline constexpr std::string_view kEMVEntrySourceChipFallBackMag = "ChipFallBackMag";
inline constexpr std::string_view kEMVEntrySourceChipFallBackMagStripeFallBackMan = "ChipFallBackMagStripeFallBackMan";
inline constexpr std::array kEMVEntrySources = {
    kEMVEntrySourceChipRead, kEMVEntrySourceManual, kEMVEntrySourceMagStripe,
    kEMVEntrySourceMagStripeFallBackMan, kEMVEntrySourceChipFallBackMag,
    kEMVEntrySourceChipFallBackMagStripeFallBackMan};

// 19. EMV item names.
inline constexpr std::string_view kItemEMVAppID = "EMVAppID";
inline constexpr std::string_view kItemEMVTSCounter = "EMVTSCounter";
inline constexpr std::string_view kItemEMVPANSeqNo = "EMVPANSeqNo";
inline constexpr std::array kEMVItemNames = {
    kItemEMVAppID, kItemEMVTSCounter, kItemEMVPANSeqNo};

// 20. EMV TranCodes.
inline constexpr std::string_view kTranCodeEMVSale = "EMVSale";
inline constexpr std::string_view kTranCodeEMVReturn = "EMVReturn";
inline constexpr std::string_view kTranCodeEMVVoidSale = "EMVVoidSale";
inline constexpr std::string_view kTranCodeEMVVoidReturn = "EMVVoidReturn";
inline constexpr std::string_view kTranCodeEMVVoiceAuth = "EMVVoiceAuth";
inline constexpr std::string_view kTranCodeEMVZeroAuth = "EMVZeroAuth";
inline constexpr std::string_view kTranCodeEMVOfflineApprovedSale = "EMVOfflineApprovedSale";
inline constexpr std::string_view kTranCodeEMVOfflineDeclinedSale = "EMVOfflineDeclinedSale";
inline constexpr std::string_view kTranCodeEMVChipOverrideSale = "EMVChipOverrideSale";
inline constexpr std::string_view kTranCodeEMVChipOverrideReturn = "EMVChipOverrideReturn";
inline constexpr std::string_view kTranCodeEMVTimeoutReversal = "EMVTimeoutReversal";
inline constexpr std::array kEMVTranCodes = {
    kTranCodeEMVSale, kTranCodeEMVReturn, kTranCodeEMVVoidSale, kTranCodeEMVVoidReturn,
    kTranCodeEMVVoiceAuth, kTranCodeEMVZeroAuth, kTranCodeEMVOfflineApprovedSale,
    kTranCodeEMVOfflineDeclinedSale, kTranCodeEMVChipOverrideSale,
    kTranCodeEMVChipOverrideReturn, kTranCodeEMVTimeoutReversal};

namespace vocabulary_detail {

template <std::size_t... Sizes>
constexpr std::array<std::string_view, (Sizes + ...)> Join(
    const std::array<std::string_view, Sizes>&... groups) {
  std::array<std::string_view, (Sizes + ...)> all{};
  std::size_t next = 0;
  auto append = [&](const auto& group) {
    for (std::string_view word : group) all[next++] = word;
  };
  (append(groups), ...);
  return all;
}

}  // namespace vocabulary_detail

// The whole vocabulary, group after group in the order above.
inline constexpr auto kVocabulary = vocabulary_detail::Join(
    kFieldFormatCodes, kCardTypes, kMarketTypes, kReversalReasons, kElavonCodes, kTermCapCodes,
    kPosEntryCodes, kAcctTypeCodes, kZeroCodes, kStreamKinds, kItemNames, kFrequencyValues,
    kTranTypes, kEntryAndAccountValues, kTranCodeValues, kEncryptionWords, kAdminTranCodes,
    kEMVEntrySources, kEMVItemNames, kEMVTranCodes);
static_assert(kVocabulary.size() == 276);

// One group of the vocabulary, for code that walks it (listings, checks).
struct VocabularyGroup {
  std::string_view name;
  std::span<const std::string_view> words;
};

inline constexpr std::array<VocabularyGroup, 20> kVocabularyGroups = {{
    {"field-format codes", kFieldFormatCodes},
    {"card types", kCardTypes},
    {"market types", kMarketTypes},
    {"reversal reasons", kReversalReasons},
    {"Elavon transaction codes", kElavonCodes},
    {"terminal-capability codes", kTermCapCodes},
    {"POS-entry-mode codes", kPosEntryCodes},
    {"account-type codes", kAcctTypeCodes},
    {"zero codes", kZeroCodes},
    {"stream kinds", kStreamKinds},
    {"TStream item names", kItemNames},
    {"Frequency values", kFrequencyValues},
    {"TranType values", kTranTypes},
    {"entry and account values", kEntryAndAccountValues},
    {"TranCode and item values", kTranCodeValues},
    {"encryption items and values", kEncryptionWords},
    {"reversal, batch and administrative TranCodes", kAdminTranCodes},
    {"EMV entry sources", kEMVEntrySources},
    {"EMV item names", kEMVItemNames},
    {"EMV TranCodes", kEMVTranCodes},
}};
