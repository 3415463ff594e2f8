@0xabf4b00c0146a302;
# Annotations on the package schema for what its language cannot say about the model that
# the schema generator (tools/codegen) writes from it. They change nothing on the wire.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("torv_package::schema::model");

annotation name @0xdf26b3b4736251f5 (struct) :Text;
# The model's name for the record, where it differs from the struct's.

annotation after @0xa717b995f8b881b4 (field) :Text;
# The model's member order, where it differs from the schema's: this field comes right after
# the field named (by its schema name). Fields added later stay at the end in both orders.

annotation address @0xb868208826a54512 (field) :Void;
# A number that is a place in tile memory or in register space, which people read in hex.

annotation header @0xb33b2fd51950da95 (field) :Void;
# A header field: the reader compares it with the one supported value and the writer writes
# that value; the model has no member for it.

annotation initial @0x885b2016097fd991 (field) :Text;
# The text a record made from scratch holds, where it differs from the schema's default
# (which is what a package that leaves the field out reads as).

annotation view @0xe19a5d3d8aedd707 (struct) :Text;
# The name of the record's view class, where it is not the record's name followed by View.

annotation operations @0xfc40e994fdee07a9 (struct) :Void;
# The model declares this record itself, with operations of its own (torv_package/
# application.hpp for Application); the generator writes only its members, for that
# declaration to include.
