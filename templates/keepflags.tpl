%%ifdef%%nosortpick%%
<input type="hidden" name="nosortpick" value="on">
%%endif%%
%%ifdef%%nosortaddr%%
<input type="hidden" name="nosortaddr" value="on">
%%endif%%
%%ifdef%%popall%%
<input type="hidden" name="popall" value="on">
%%endif%%
%%ifdef%%wysiwyg%%
<input type="hidden" name="wysiwyg" value="on">
%%endif%%
