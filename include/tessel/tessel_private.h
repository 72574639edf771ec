/* Tessel: private attributes. Private attributes live in odd groups (other than 0001, 0003, 0005,
 * 0007 and FFFF) in blocks reserved by private creator codes: the creator element (gggg,00bb),
 * bb from 0x10 to 0xFF, holds the code and reserves the elements (gggg,bb00) to (gggg,bbFF).
 * These functions address a private attribute by creator code, group and element byte (the low
 * 8 bits of its element); the library finds the block of the code and computes the real tag
 * (gggg,bbee). Creator codes are compared exactly (case-sensitive) after trailing spaces are
 * removed from both sides, on at most 513 characters.
 *
 * Every function here needs the library initialised (CV_LIBRARY_NOT_INITIALIZED otherwise) and
 * returns CV_NULL_POINTER_PARM for a null creator code or other required pointer,
 * CV_INVALID_MESSAGE_ID for an identifier that names no object and CV_PRIVATE_GROUP_NOT_ODD for
 * a group that is not private.
 *
 * The pValue functions each mirror the value function of the same name without the "p"
 * (tessel_values.h), taking (msg_id, creator, group, element) in place of (msg_id, tag) and
 * otherwise the same arguments, statuses and ownership rules. They add CV_INVALID_PRIVATE_CODE
 * when the group holds no block of the creator; the set functions marked below also when the
 * element itself is absent (add it first with CV_Add_Private_Attribute). */
#ifndef TESSEL_TESSEL_PRIVATE_H_
#define TESSEL_TESSEL_PRIVATE_H_

#include "tessel/tessel_defs.h"
#include "tessel/tessel_values.h"

CV_EXTERN_C_BEGIN

/* ---- Blocks and attributes ------------------------------------------------------------------ */

/* Reserves a block of `group` for `creator`: when the group has no creator element holding the
 * code, one is added at the lowest free creator element (VR LO, VM 1-n), so a group whose
 * creators stand at 0x10, 0x11 and 0x13 gets 0x12. The creator element's value is set to the
 * code without trailing spaces. Adds CV_TOO_MANY_BLOCKS (all 240 creator elements in use) and
 * CV_SYSTEM_ERROR (the code could not be stored or breaks the LO rules, logged as "ERROR setting
 * private group value"). */
CV_API int32_t CV_CALL CV_Add_Private_Block(int32_t msg_id, const char* creator, uint16_t group);

/* Adds the private attribute (group, element byte) of `creator` without a value. When the
 * private dictionary knows the attribute under this creator, the block is created if needed
 * and the attribute takes the dictionary's VR and VM (`vr` is then ignored). Otherwise the block
 * must exist and the attribute takes `vr` (a CV_VR_CODE) and VM 1-n. Adds CV_TAG_ALREADY_EXISTS,
 * CV_INVALID_VR_CODE, CV_PRIVATE_BLOCK_NOT_FOUND (no block and no dictionary entry),
 * CV_TOO_MANY_BLOCKS, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Add_Private_Attribute(int32_t msg_id, const char* creator, uint16_t group,
                                                uint8_t element, int32_t vr);

/* Deletes the private attribute (group, element byte) of `creator` with its values. Adds
 * CV_PRIVATE_BLOCK_NOT_FOUND (no block of the creator) and CV_INVALID_TAG (no such element). */
CV_API int32_t CV_CALL CV_Delete_Private_Attribute(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element);

/* Deletes the creator element of `creator` in `group` and every attribute of its block. Adds
 * CV_PRIVATE_BLOCK_NOT_FOUND. */
CV_API int32_t CV_CALL CV_Delete_Private_Block(int32_t msg_id, const char* creator, uint16_t group);

/* VR code and value count of a private attribute, as CV_Get_Attribute_Info gives them (the
 * count is 1 for UN, OB, OW, OL and OF). Adds CV_INVALID_PRIVATE_CODE (no block of the creator)
 * and CV_INVALID_TAG (no such element). */
CV_API int32_t CV_CALL CV_Get_pAttribute_Info(int32_t msg_id, const char* creator, uint16_t group,
                                              uint8_t element, int32_t* vr, int32_t* count);

/* Changes the VR of a private attribute as CV_Set_Value_Representation does. Adds
 * CV_PRIVATE_BLOCK_NOT_FOUND (no block of the creator) and that function's statuses. */
CV_API int32_t CV_CALL CV_Set_pValue_Representation(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element, int32_t vr);

/* ---- Reading values ------------------------------------------------------------------------ */

CV_API int32_t CV_CALL CV_Get_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                     uint8_t element, int32_t type, uint32_t buffer_size,
                                     void* buffer, uint32_t* length);
CV_API int32_t CV_CALL CV_Get_Next_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                          uint8_t element, int32_t type, uint32_t buffer_size,
                                          void* buffer, uint32_t* length);

CV_API int32_t CV_CALL CV_Get_pValue_To_String(int32_t msg_id, const char* creator, uint16_t group,
                                               uint8_t element, uint32_t buffer_size, char* buffer);
CV_API int32_t CV_CALL CV_Get_pValue_To_Int(int32_t msg_id, const char* creator, uint16_t group,
                                            uint8_t element, int32_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_UInt(int32_t msg_id, const char* creator, uint16_t group,
                                             uint8_t element, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_ShortInt(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, int16_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_UShortInt(int32_t msg_id, const char* creator,
                                                  uint16_t group, uint8_t element, uint16_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_LongInt(int32_t msg_id, const char* creator, uint16_t group,
                                                uint8_t element, int32_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_ULongInt(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_Float(int32_t msg_id, const char* creator, uint16_t group,
                                              uint8_t element, float* value);
CV_API int32_t CV_CALL CV_Get_pValue_To_Double(int32_t msg_id, const char* creator, uint16_t group,
                                               uint8_t element, double* value);

CV_API int32_t CV_CALL CV_Get_Next_pValue_To_String(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    uint32_t buffer_size, char* buffer);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_Int(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, int32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_UInt(int32_t msg_id, const char* creator,
                                                  uint16_t group, uint8_t element, uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_ShortInt(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      int16_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_UShortInt(int32_t msg_id, const char* creator,
                                                       uint16_t group, uint8_t element,
                                                       uint16_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_LongInt(int32_t msg_id, const char* creator,
                                                     uint16_t group, uint8_t element,
                                                     int32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_ULongInt(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      uint32_t* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_Float(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, float* value);
CV_API int32_t CV_CALL CV_Get_Next_pValue_To_Double(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element, double* value);

CV_API int32_t CV_CALL CV_Get_pValue_To_Buffer(int32_t msg_id, const char* creator, uint16_t group,
                                               uint8_t element, uint32_t buffer_size, void* buffer,
                                               uint32_t* length);
CV_API int32_t CV_CALL CV_Get_pValue_To_Function(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, void* user_info,
                                                 CV_VALUE_CONSUMER consumer);
CV_API int32_t CV_CALL CV_Get_pValue_Count(int32_t msg_id, const char* creator, uint16_t group,
                                           uint8_t element, int32_t* count);
CV_API int32_t CV_CALL CV_Get_pValue_Length(int32_t msg_id, const char* creator, uint16_t group,
                                            uint8_t element, int32_t value_number,
                                            uint32_t* length);

/* ---- Setting values: the element must exist (CV_INVALID_PRIVATE_CODE otherwise) ------------ */

CV_API int32_t CV_CALL CV_Set_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                     uint8_t element, int32_t type, const void* value);
CV_API int32_t CV_CALL CV_Set_Next_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                          uint8_t element, int32_t type, const void* value);

CV_API int32_t CV_CALL CV_Set_pValue_From_String(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element,
                                                 const char* value);
CV_API int32_t CV_CALL CV_Set_pValue_From_Int(int32_t msg_id, const char* creator, uint16_t group,
                                              uint8_t element, int32_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_UInt(int32_t msg_id, const char* creator, uint16_t group,
                                               uint8_t element, uint32_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_ShortInt(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, int16_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_UShortInt(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    uint16_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_LongInt(int32_t msg_id, const char* creator,
                                                  uint16_t group, uint8_t element, int32_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_ULongInt(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, uint32_t value);
CV_API int32_t CV_CALL CV_Set_pValue_From_Float(int32_t msg_id, const char* creator, uint16_t group,
                                                uint8_t element, float value);
CV_API int32_t CV_CALL CV_Set_pValue_From_Double(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element, double value);

CV_API int32_t CV_CALL CV_Set_Next_pValue_From_String(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      const char* value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_Int(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, int32_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_UInt(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    uint32_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_ShortInt(int32_t msg_id, const char* creator,
                                                        uint16_t group, uint8_t element,
                                                        int16_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_UShortInt(int32_t msg_id, const char* creator,
                                                         uint16_t group, uint8_t element,
                                                         uint16_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_LongInt(int32_t msg_id, const char* creator,
                                                       uint16_t group, uint8_t element,
                                                       int32_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_ULongInt(int32_t msg_id, const char* creator,
                                                        uint16_t group, uint8_t element,
                                                        uint32_t value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_Float(int32_t msg_id, const char* creator,
                                                     uint16_t group, uint8_t element, float value);
CV_API int32_t CV_CALL CV_Set_Next_pValue_From_Double(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      double value);

CV_API int32_t CV_CALL CV_Set_pValue_From_Buffer(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element,
                                                 const void* buffer, uint32_t length);
CV_API int32_t CV_CALL CV_Set_pValue_To_Empty(int32_t msg_id, const char* creator, uint16_t group,
                                              uint8_t element);
/* As CV_Set_Value_From_Function, except that a temporary file fault is reported as
 * CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Set_pValue_From_Function(int32_t msg_id, const char* creator,
                                                   uint16_t group, uint8_t element, void* user_info,
                                                   CV_VALUE_SUPPLIER supplier);

/* ---- NULL values: the block must exist; an absent element is added as a set adds it -------- */

/* The element takes the VR and VM the private dictionary gives it under this creator. */
CV_API int32_t CV_CALL CV_Set_pValue_To_NULL(int32_t msg_id, const char* creator, uint16_t group,
                                             uint8_t element);
CV_API int32_t CV_CALL CV_Set_Next_pValue_To_NULL(int32_t msg_id, const char* creator,
                                                  uint16_t group, uint8_t element);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_PRIVATE_H_ */
