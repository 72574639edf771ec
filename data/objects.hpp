// Internal operations on the objects of the data model, shared by every layer that builds or
// reads messages (values, private attributes, encoder, decoder, files, network).
#ifndef TESSEL_DATA_OBJECTS_HPP_
#define TESSEL_DATA_OBJECTS_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::data {

// ---- Identifier table ------------------------------------------------------------------------

// Creates an object of `kind` with `name` (copied; "MOUSE" for objects opened empty), its own
// lock, the configured large-data mode and threshold, and a fresh identifier. No attributes.
// CV_SYSTEM_ERROR when memory or identifiers are exhausted ("No message IDs available!!").
Status create_object(ObjectKind kind, const char* name, MsgObj** out);
// The live object of an identifier, or null. Takes msgObjSemaphore for the chain search only.
MsgObj* find_object(int32_t id);
// Frees an object whatever its kind: attributes, kept records, values, lists, name, lock, its
// identifier, and the file, directory or pending-stream information through the hooks below.
// Items named by its sequence values lose that reference and are freed with it when nothing
// else refers to them.
void destroy_object(MsgObj* object);
// Frees every live object (library release and reset).
void destroy_all_objects();
// Calls `visit` for every live object, each under its own lock (the table lock is not held
// while `visit` runs). Objects freed meanwhile by another thread are skipped.
void for_each_object(void (*visit)(MsgObj& object, void* context), void* context);

// "Message", "Item", "Dicomdir", "File" or "SR", as logs and listings name the kinds.
const char* kind_name(ObjectKind kind);

// Test hook: the next identifier the counter proposes is `next` (from 100 to 0x7FFFFF9B).
namespace detail {
void set_next_identifier(int32_t next);
}

// ---- Attributes --------------------------------------------------------------------------------

// Looks a tag up from the object's lookup cursor (forward when above it, backward otherwise) and
// leaves the cursor on the last record visited. Takes the object's lock. Null when absent.
TagObj* find_attribute(MsgObj& object, uint32_t tag);
// The first attribute whose tag is `tag` or above, found from the lookup cursor; null when every
// tag is below. Takes the object's lock.
TagObj* find_attribute_at_or_after(MsgObj& object, uint32_t tag);
// Adds an attribute in tag order. CV_INVALID_VR_CODE, CV_TAG_ALREADY_EXISTS, CV_SYSTEM_ERROR. A
// non-private tag found in the kept-template list is reused with its own VR, VM and template
// information (the arguments are then ignored). Resets the group-length flags.
Status add_attribute(MsgObj& object, uint32_t tag, int32_t vr, uint16_t vm_low, uint16_t vm_high,
                     TagObj** out);
// Deletes an attribute: its values are released (items of a sequence are freed, when nothing
// else refers to them, under REMOVE_SQ) and the record is kept for its template when the rules
// say so. CV_INVALID_TAG when absent.
Status delete_attribute(MsgObj& object, uint32_t tag);
// Deletes every attribute with first <= tag <= last under one hold of the object's lock.
void delete_range(MsgObj& object, uint32_t first, uint32_t last);

// Adds `delta` to an item's reference count (atomically; the item's lock is not taken).
void add_item_reference(MsgObj& item, int32_t delta);

// Sets a new item name on an Item. CV_INVALID_ITEM_ID for any other kind, CV_SYSTEM_ERROR
// without memory (the old name stays).
Status rename_item(MsgObj& item, const char* name);
// Replaces the service or item name; CV_SYSTEM_ERROR without memory (the old name stays).
Status replace_name(MsgObj& object, const char* name);

// ---- Pending streams -------------------------------------------------------------------------

// The undecoded rest of a stream an object keeps (DICOMDIR records read with stream storage).
// The layer that leaves it allocates the record and fills the two functions: `complete`
// decodes the rest into the object and clears object.pending_stream (on success and failure
// alike), `discard` releases the record unread when the object is freed.
struct PendingStream {
  uint32_t highest_tag;  // highest tag decoded so far
  Status (*complete)(MsgObj& object);
  void (*discard)(MsgObj& object);
};

// Decodes the rest of a pending stream when an operation names a tag above the highest decoded
// one (or, with `any_tag`, always). CV_NORMAL_COMPLETION when nothing is pending; otherwise the
// decoder's status.
Status complete_pending_stream(MsgObj& object, uint32_t tag, bool any_tag);

// ---- Work of other layers --------------------------------------------------------------------

// Operations on objects that belong to the file, directory, decoder and codec layers. Each
// entry stays null until its layer fills it at start-up; without it the object layer does what
// each comment says.
struct ObjectHooks {
  // Frees a File's or DICOMDIR's file and directory information (media_info). Without it the
  // pointer is dropped.
  void (*release_media_info)(MsgObj& object);
  // Creates the directory information of a File that becomes a DICOMDIR; without it the kind
  // changes and media_info stays as it is.
  Status (*create_directory_info)(MsgObj& object);
  // Releases the directory information of a DICOMDIR that turns back into a File.
  void (*release_directory_info)(MsgObj& object);
  // Gives a duplicated File the file name and preamble information of its source.
  Status (*duplicate_media_info)(const MsgObj& source, MsgObj& target);
  // The file name and 128-byte preamble a File's listing shows; false when it has none.
  bool (*file_listing_info)(const MsgObj& object, const char** file_name, const uint8_t** preamble);
  // Decodes `length` bytes of an attribute converted from UN to SQ as items in implicit VR
  // little endian, storing the items as the attribute's values. Without it such a change is
  // refused with CV_CANNOT_CHANGE_VR_TO_SQ.
  Status (*decode_sequence)(MsgObj& object, TagObj& attribute, const uint8_t* bytes,
                            uint32_t length);
  // Converts the pixel data of a duplicate between an encapsulated and a native syntax through
  // the compression callbacks stored on the objects. Without it a duplicate that needs the
  // conversion is refused with CV_FUNCTION_UNAVAILABLE.
  Status (*convert_pixel_data)(MsgObj& source, MsgObj& target);
};
ObjectHooks& object_hooks();

// ---- Values stored directly in memory --------------------------------------------------------

// Where this layer stores values itself (creator codes of templates, the directory attributes
// of a DICOMDIR, values decoded again after a VR change) it appends in-memory nodes with these.
// Everything else goes through the value layer's set path.

// Appends one node holding a copy of `length` bytes; the value count grows by `values` (1 for a
// text value, bytes / width for binary values, 1 for the first piece of an opaque value and 0
// for later pieces). A length of 0 stores a NULL (empty) value. CV_SYSTEM_ERROR without memory.
Status append_memory_node(TagObj& attribute, const void* bytes, uint32_t length, int32_t values);
// Appends an SQ node naming `item` (one value, length 1) and adds one reference to the item.
Status append_item_node(TagObj& attribute, MsgObj& item);
// Releases the attribute's values and stores one value of `length` bytes (0: one NULL value).
Status store_single_value(MsgObj& object, TagObj& attribute, const void* bytes, uint32_t length);

// ---- Values (implemented by the value layer) ----------------------------------------------------

// Releases every value of an attribute: temporary files, memory nodes (SQ nodes give back their
// item reference and, with `free_items`, free items left unreferenced), callback data (the
// registration is dropped unless `keep_callback`). Count, length and value cursor become 0.
// Releasing (0008,0005) clears the object's character-set flags.
void release_values(MsgObj& object, TagObj& attribute, bool free_items, bool keep_callback);

// Deep copy of an attribute's values into another object's attribute (items of sequences are
// duplicated in turn with duplicate_object). CV_SYSTEM_ERROR or CV_TEMP_FILE_ERROR on failure.
Status copy_values(const MsgObj& source, const TagObj& from, MsgObj& target, TagObj& to);

// ---- Whole objects (object_ops.cpp) ----------------------------------------------------------

// A copy of a Message, Item or File as a new object of the same kind: name, service number,
// command, character-set flags, transfer syntax (`syntax`, or the source's when 0), template
// information, kept records and every attribute with its values (items duplicated in turn).
// CV_INVALID_MESSAGE_ID for a DICOMDIR or SR (logged), CV_SYSTEM_ERROR without memory; a
// failure leaves no object behind.
Status duplicate_object(MsgObj& source, int32_t syntax, MsgObj** out);

// Every attribute loses its values but stays; private creator elements keep their values or,
// with EMPTY_PRIVATE_CREATOR_CODES, are removed. Items of sequences are freed when REMOVE_SQ is
// set and nothing else refers to them.
void empty_object(MsgObj& object);

// Frees an object by its kind. An Item or SR item still referenced by a sequence value is not
// freed ("Item %d was not freed because a message is referencing it." at trace 1, under
// `function`) and false is returned; otherwise the object is freed (with
// ELIMINATE_ITEM_REFERENCES, the sequence values still naming an item are first removed from
// every object) and true is returned.
bool free_object(MsgObj& object, const char* function);

// Removes from every object the sequence values that name `item` (pointer or identifier).
void eliminate_item_references(const MsgObj* item, int32_t item_id);

}  // namespace tessel::data

#endif  // TESSEL_DATA_OBJECTS_HPP_
