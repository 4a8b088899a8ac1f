// The numeric fields of FT_PROGRAM_DATA under their names in FTDI's header, in the
// structure's order: X(name) for each. The leading ones stand before the four text
// pointers, the trailing ones after them. A recording lists them in this order, and the
// bench reads them back by these names.
#pragma once

// clang-format off
#define NEXIR_LEADING_FIELDS(X) X(Signature1) X(Signature2) X(Version) X(VendorId) X(ProductId)
#define NEXIR_TRAILING_FIELDS(X)                                                                                   \
    X(MaxPower) X(PnP) X(SelfPowered) X(RemoteWakeup) X(Rev4) X(IsoIn) X(IsoOut) X(PullDownEnable)                 \
    X(SerNumEnable) X(USBVersionEnable) X(USBVersion)                                                              \
    /* Version 1: FT2232C/D */                                                                                     \
    X(Rev5) X(IsoInA) X(IsoInB) X(IsoOutA) X(IsoOutB) X(PullDownEnable5) X(SerNumEnable5) X(USBVersionEnable5)     \
    X(USBVersion5) X(AIsHighCurrent) X(BIsHighCurrent) X(IFAIsFifo) X(IFAIsFifoTar) X(IFAIsFastSer) X(AIsVCP)      \
    X(IFBIsFifo) X(IFBIsFifoTar) X(IFBIsFastSer) X(BIsVCP)                                                         \
    /* Version 2: FT232R */                                                                                        \
    X(UseExtOsc) X(HighDriveIOs) X(EndpointSize) X(PullDownEnableR) X(SerNumEnableR) X(InvertTXD) X(InvertRXD)     \
    X(InvertRTS) X(InvertCTS) X(InvertDTR) X(InvertDSR) X(InvertDCD) X(InvertRI) X(Cbus0) X(Cbus1) X(Cbus2)        \
    X(Cbus3) X(Cbus4) X(RIsD2XX)                                                                                   \
    /* Version 3: FT2232H */                                                                                       \
    X(PullDownEnable7) X(SerNumEnable7) X(ALSlowSlew) X(ALSchmittInput) X(ALDriveCurrent) X(AHSlowSlew)            \
    X(AHSchmittInput) X(AHDriveCurrent) X(BLSlowSlew) X(BLSchmittInput) X(BLDriveCurrent) X(BHSlowSlew)            \
    X(BHSchmittInput) X(BHDriveCurrent) X(IFAIsFifo7) X(IFAIsFifoTar7) X(IFAIsFastSer7) X(AIsVCP7) X(IFBIsFifo7)   \
    X(IFBIsFifoTar7) X(IFBIsFastSer7) X(BIsVCP7) X(PowerSaveEnable)                                                \
    /* Version 4: FT4232H */                                                                                       \
    X(PullDownEnable8) X(SerNumEnable8) X(ASlowSlew) X(ASchmittInput) X(ADriveCurrent) X(BSlowSlew)                \
    X(BSchmittInput) X(BDriveCurrent) X(CSlowSlew) X(CSchmittInput) X(CDriveCurrent) X(DSlowSlew)                  \
    X(DSchmittInput) X(DDriveCurrent) X(ARIIsTXDEN) X(BRIIsTXDEN) X(CRIIsTXDEN) X(DRIIsTXDEN) X(AIsVCP8)           \
    X(BIsVCP8) X(CIsVCP8) X(DIsVCP8)                                                                               \
    /* Version 5: FT232H */                                                                                        \
    X(PullDownEnableH) X(SerNumEnableH) X(ACSlowSlewH) X(ACSchmittInputH) X(ACDriveCurrentH) X(ADSlowSlewH)        \
    X(ADSchmittInputH) X(ADDriveCurrentH) X(Cbus0H) X(Cbus1H) X(Cbus2H) X(Cbus3H) X(Cbus4H) X(Cbus5H) X(Cbus6H)    \
    X(Cbus7H) X(Cbus8H) X(Cbus9H) X(IsFifoH) X(IsFifoTarH) X(IsFastSerH) X(IsFT1248H) X(FT1248CpolH)               \
    X(FT1248LsbH) X(FT1248FlowControlH) X(IsVCPH) X(PowerSaveEnableH)
// clang-format on
