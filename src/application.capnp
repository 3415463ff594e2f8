@0xec7b50c6bfff1ebe;
# A package holds one compiled application for the tiled device: the program image of every
# tile, the tensors the host reads and writes (inputs, outputs and weights) placed in tile
# memory, the host exchange (host pages, the command slot of the startup protocol and the host
# calls), entry points, device configuration writes, profiling plans, and debug symbols and
# regions.
#
# The file is one Cap'n Proto message in the standard stream framing (not packed) whose root
# is an Application; nothing precedes it, and bytes after it are ignored. Every number is
# unsigned. Tile addresses and sizes are 32-bit byte values; host page sizes and offsets are
# 64-bit. Tile memory is the window from 0x4c000 up to, not including, 0xe8000 (0x9c000
# bytes): the one device configuration supported.
#
# VALIDATION
#
# Reading refuses a package whose header does not hold the supported values (schema
# version 4, target "torv21", tile memory from 0x4c000 for 0x9c000 bytes) with
# "incompatible package header". Text must be valid UTF-8, and an enum field must hold one
# of its enumerants, or the package is refused as it is read.
#
# The package read is then checked as a whole, rule by rule in the order below. The first
# fault found is the one reported, with its place in the package (such as
# tiles[1].segments[2]) and the message given with the field it concerns:
#
# - tiles: there is at least one.
# - device_config_writes: offsets aligned and unique.
# - tiles, one by one: a physical_tile not seen before, then every segment inside tile
#   memory and holding no more data than its memory_size, then no two non-empty segments
#   overlapping.
# - profile_tiles: each for a tile of the package, one per tile, its steps numbered from 0.
# - debug_symbols and debug_regions: names, sizes and tiles.
# - inputs, outputs, then weights: names non-empty and unique, every slice on a tile of the
#   package and inside tile memory.
# - host_exchange: the page table (pages and attach_order).
# - host_exchange: the command slot, when there are host calls.
# - host_exchange calls, one by one: invocations, input then output batch ends, then every
#   slice inside its page.
#
# A field that no rule names is carried: the library copies it and checks nothing.

# Ordinals fix where each field sits in existing package files: never renumber or retype a
# field, and give a new one the next ordinal (tests/golden/application.layout shows the
# layout; a change to it is a change of the file format). Each doc comment is the one
# description of its record, field or enumerant: the model's header, the Python module, its
# stubs, the JSON Schema and torv-package(5) are generated from it by tools/codegen. In a
# doc comment, an empty line starts a paragraph, a line of capitals alone heads a section
# (of torv-package(5), in the file's comment only), and lines that start with "- " are a
# list, an item's further lines indented by two spaces.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("torv_package::schema");
using Model = import "model.capnp";

struct Segment {
  # One loadable piece of a tile's memory: memory_size bytes from address, the first of them
  # stored in data. The bytes between the end of data and the end of the segment are not
  # stored in the package.
  address @0 :UInt32 $Model.address;
  # First tile-memory address the segment occupies. The segment must lie inside tile memory:
  # address at least 0x4c000, address + memory_size at most 0xe8000, else "invalid segment on
  # tile N: address=0xA end=0xE memory_size=M data_size=D" ("segment address overflow" when
  # the sum passes 32 bits).
  memorySize @1 :UInt32;
  # Number of bytes the segment occupies in tile memory, from address. No two segments of a
  # tile may overlap ("overlapping segments on tile N: 0xA..0xB and 0xC..0xD"); a segment of
  # size 0 occupies nothing and overlaps nothing.
  data @2 :Data;
  # The segment's stored bytes, which belong at address onwards; never longer than
  # memory_size in a valid package ("invalid segment on tile N: ...").
  flags @3 :UInt32;
  # Segment flags. Carried: the library copies them and checks nothing; what their bits mean
  # is not recorded in the package.
}

struct TileImage {
  # The program image of one physical tile: the segments loaded into its memory, and three
  # addresses of its program that the library carries.
  physicalTile @0 :UInt32;
  # Number of the hardware tile the image is for; unique within a package ("duplicate
  # physical tile N"). Binding slices, profiling plans and debug regions name tiles by this
  # number.
  entryPoint @1 :UInt32 $Model.address;
  # Entry point of the tile's program. Carried: copied and not checked, not even against the
  # tile's segments.
  segments @2 :List(Segment) $Model.after("diagnosticAddress");
  # The image's segments, in the order stored. In a valid package each lies inside tile
  # memory and no two overlap.
  commandAddress @3 :UInt32 $Model.address;
  # The tile's command address. Carried: copied and not checked; what the device expects
  # there is not recorded in the package.
  diagnosticAddress @4 :UInt32 $Model.address;
  # The tile's diagnostic address. Carried: copied and not checked; what the device keeps
  # there is not recorded in the package.
}

struct RegionSlice {
  # One piece of a tensor, placed in the memory of one tile.
  tile @0 :UInt32;
  # Physical tile holding the piece; one of the package's tiles, else "binding NAME
  # references invalid tile memory".
  tileAddress @1 :UInt32 $Model.address;
  # First tile-memory address of the piece. The piece must lie inside tile memory: from
  # 0x4c000, and tile_address + size at most 0xe8000 ("binding NAME references invalid tile
  # memory"; "binding address overflow" when the sum passes 32 bits). Slices are checked
  # neither against the tile's segments nor against each other.
  fileOffset @2 :UInt64;
  # Byte offset of the piece on the file side. What the offset is measured from (the start of
  # the tensor's own bytes, or of a file holding several tensors) is not recorded in the
  # package and not known to the library. Carried: copied and not checked.
  size @3 :UInt64;
  # Length of the piece in bytes. Stored 64 bits wide, but a valid package keeps it within 32
  # bits ("binding NAME slice is too large").
}

struct Binding {
  # A named tensor that the host reads or writes: an input, an output or a weight, placed in
  # tile memory in slices.
  name @0 :Text;
  # Tensor name; non-empty and unique across inputs, outputs and weights together, compared
  # byte for byte ("empty or duplicate binding NAME").
  dtype @1 :Text;
  # Name of the element type, as the compiler wrote it (such as float16). Carried: checked
  # neither against shape nor against the slices' sizes.
  shape @2 :List(UInt32);
  # Dimensions of the tensor. Carried: not checked against the slices' sizes.
  slices @3 :List(RegionSlice);
  # The pieces of the tensor in tile memory, in the order stored.
}

struct HostPage {
  # A page of host memory through which host calls exchange their data.
  index @0 :UInt32;
  # Page identifier, which host slices, attach_order and command_page refer to; unique among
  # the pages ("invalid host page table").
  size @1 :UInt64;
  # Page length in bytes; the command slot and host slices must end within it.
}

struct HostSlice {
  # A piece of a host call's data inside a host page.
  page @0 :UInt32;
  # Index of the host page holding the piece; it must name a page ("host call NAME
  # references missing page").
  pageOffset @1 :UInt64;
  # Byte offset of the piece within its page; page_offset + size must not pass the end of the
  # page ("host call NAME exceeds page bounds"). Host slices may overlap one another.
  fileOffset @2 :UInt64;
  # Byte offset of the piece on the file side. What the offset is measured from is not
  # recorded in the package and not known to the library. Carried: copied and not checked.
  size @3 :UInt64;
  # Length of the piece in bytes.
}

struct HostCall {
  # One host call: its input and output slices in host pages, cut into batches, and how many
  # times it is invoked.
  name @0 :Text;
  # Call name, which the messages about the call quote; not checked, not even for
  # uniqueness.
  command @1 :UInt32;
  # Command value of the call. Carried: copied and not checked.
  phases @2 :UInt32;
  # Phases value of the call. Carried: copied and not checked; what it counts is not
  # recorded in the package.
  inputs @3 :List(HostSlice);
  # Input slices, in the order stored.
  outputs @4 :List(HostSlice);
  # Output slices, in the order stored.
  invocations @5 :UInt32 = 1;
  # Number of invocations; at least 1 in a valid package ("host call NAME has no
  # invocations"). A package that leaves the field out reads as 1, and a call made from
  # scratch holds 1.
  inputBatchEnds @6 :List(UInt32);
  # Exclusive end positions in inputs that cut them into consecutive non-empty batches:
  # rising strictly, the last one equal to the number of inputs, and empty exactly when there
  # are no inputs. A wrong entry is refused with "host call NAME has invalid input batch
  # boundary E", a list that ends short with "host call NAME input batches cover E of N
  # slices".
  outputBatchEnds @7 :List(UInt32);
  # Exclusive end positions in outputs that cut them into consecutive non-empty batches, as
  # input_batch_ends does for inputs ("host call NAME has invalid output batch boundary E",
  # "host call NAME output batches cover E of N slices").
}

struct HostExchange {
  # How the host and the device exchange data: the host pages, the command slot of the host
  # startup protocol and the host calls. A package without one reads as all zero and empty.
  startupMark @0 :UInt32;
  # Mark value of the host startup protocol. Carried: copied and not checked.
  commandPage @1 :UInt32;
  # Index of the host page holding the four-byte command slot. Checked only when there are
  # host calls: it must then name a page ("invalid host startup protocol").
  commandOffset @2 :UInt64;
  # Byte offset of the command slot within its page. Checked only when there are host calls:
  # command_offset + 4 must not pass the end of the page ("invalid host startup protocol").
  pages @3 :List(HostPage);
  # The host pages, with indexes unique ("invalid host page table").
  attachOrder @4 :List(UInt32);
  # Page indexes in the order the pages are attached. Each must name a listed page ("invalid
  # host page table"); an index may repeat.
  calls @5 :List(HostCall);
  # The host calls, in the order stored.
}

struct EntryPoint {
  # A named entry point of the application. Carried as a whole: nothing in it is checked.
  name @0 :Text;
  # Entry point name. Carried.
  command @1 :UInt32;
  # Command value of the entry point. Carried.
  externalSyncs @2 :UInt32;
  # External synchronisation value of the entry point. Carried.
}

struct DeviceConfigWrite {
  # A write of one 32-bit device configuration register.
  offset @0 :UInt32 $Model.address;
  # Byte offset of the register written: a multiple of 4, written at most once per package
  # ("unaligned or duplicate device configuration write").
  value @1 :UInt32;
  # Value written. Carried: copied and not checked.
}

struct ProfileMetadata {
  # A name/value annotation of a profile step.
  name @0 :Text;
  # Annotation name. Carried.
  value @1 :Text;
  # Annotation value. Carried.
}

enum ProfileStepKind {
  # What a profile step does.
  exchange @0;
  # The tile exchanges data.
  compute @1;
  # The tile computes.
  synchronization @2;
  # The tile synchronises.
  idle @3;
  # The tile is idle.
}

enum ProfileExchangeActivityKind {
  # Whether an exchange activity of a profile step sends or receives.
  send @0;
  # The tile sends.
  receive @1;
  # The tile receives.
}

struct ProfileExchangeActivity {
  # A send or receive window of a profile step.
  kind @0 :ProfileExchangeActivityKind;
  # Send or receive.
  startCycle @1 :UInt32;
  # Cycle at which the window starts. Carried: copied and not checked, not even against
  # end_cycle; what the count starts from is not recorded in the package.
  endCycle @2 :UInt32;
  # Cycle at which the window ends. Carried: copied and not checked.
}

struct ProfileStepPlan $Model.name("ProfileStep") {
  # One step of a tile's profiling plan.
  localIndex @0 :UInt32;
  # Position of the step within its plan, counted from 0: step i holds i ("invalid tile
  # profile plan").
  phase @1 :UInt32;
  # Phase number of the step. Carried.
  epoch @2 :UInt32;
  # Epoch number of the step. Carried.
  operation @3 :Text;
  # Name of the step's operation. Carried.
  kind @4 :ProfileStepKind;
  # What the step does; not checked beyond being one of the kinds.
  kernel @5 :Text;
  # Name of the step's kernel; may be empty. Carried.
  metadata @6 :List(ProfileMetadata);
  # Name/value annotations of the step. Carried.
  exchangeActivities @7 :List(ProfileExchangeActivity);
  # Send and receive windows of the step. Carried.
  exchangeEventCycles @8 :UInt32;
  # Exchange event cycle value of the step. Carried.
}

struct TileProfilePlan {
  # The profiling plan of one tile.
  physicalTile @0 :UInt32;
  # The profiled tile: one of the package's tiles, with at most one plan per tile ("invalid
  # tile profile plan").
  steps @1 :List(ProfileStepPlan);
  # The plan's steps, in order.
}

struct DebugSymbol {
  # A named address, for debuggers.
  name @0 :Text;
  # Symbol name; non-empty ("invalid package debug map").
  address @1 :UInt32 $Model.address;
  # Address the symbol names. Carried: not checked, not even against tile memory.
}

struct DebugRegion {
  # A named range of a tile's memory, for debuggers and for vindle, which shows the regions
  # of the tile it dumps.
  physicalTile @0 :UInt32;
  # Tile the region lies on, or 0xFFFFFFFF for a region of every tile. Any other number must
  # be one of the package's tiles ("invalid package debug map").
  address @1 :UInt32 $Model.address;
  # First address of the region; address + size must fit in 32 bits ("invalid package debug
  # map"). Not checked against tile memory.
  size @2 :UInt32;
  # Length of the region in bytes; not 0 ("invalid package debug map").
  name @3 :Text;
  # Region name; non-empty ("invalid package debug map").
}

struct Application $Model.operations $Model.view("PackageView") {
  # One compiled application package, the root of the message.
  schemaVersion @0 :UInt32 $Model.header;
  # Revision of this schema that the package was written for; 4, the one supported.
  compilerVersion @1 :Text $Model.initial("0.1.0");
  # Version text of the compiler that built the package. Carried. A package that leaves it
  # out reads as empty text; a package made from scratch holds "0.1.0".
  target @2 :Text $Model.header;
  # Name of the device the package was compiled for; "torv21", the one supported.
  tileMemoryBase @3 :UInt32 $Model.header $Model.address;
  # First address of tile memory; 0x4c000, the one supported.
  tileMemorySize @4 :UInt32 $Model.header;
  # Size of tile memory in bytes; 0x9c000, the one supported.
  tiles @5 :List(TileImage);
  # Program images, one per physical tile; a valid package has at least one ("application
  # has no tiles").
  inputs @6 :List(Binding);
  # Input tensors.
  outputs @7 :List(Binding);
  # Output tensors.
  weights @8 :List(Binding);
  # Weight tensors.
  hostExchange @9 :HostExchange;
  # The host exchange. A package that leaves it out reads as the default: zero numbers and
  # empty lists.
  entryPoints @10 :List(EntryPoint);
  # Named entry points. Carried.
  deviceConfigWrites @11 :List(DeviceConfigWrite);
  # Device configuration register writes.
  profileTiles @12 :List(TileProfilePlan);
  # Profiling plans of tiles, at most one per tile.
  debugSymbols @13 :List(DebugSymbol);
  # Named addresses.
  debugRegions @14 :List(DebugRegion);
  # Named memory regions.
}
