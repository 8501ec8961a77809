/* The application's information dictionary, embedded byte for byte in a
   section of its own so the bare executable carries it. The section name is a
   C identifier, so the linker also provides __start_tellwyn_info_plist and
   __stop_tellwyn_info_plist. The two global labels let the reader refer to
   the bytes, which pulls this object out of the static library. */
	.section tellwyn_info_plist,"a",@progbits
	.globl tellwyn_info_plist_begin
	.hidden tellwyn_info_plist_begin
	.globl tellwyn_info_plist_end
	.hidden tellwyn_info_plist_end
tellwyn_info_plist_begin:
	.incbin "Info.plist"
tellwyn_info_plist_end:

	.section .note.GNU-stack,"",@progbits
