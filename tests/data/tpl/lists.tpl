<table>
%%begin_list%%
<tr><td>%%n%%</td><td>%%subject%%</td></tr>
%%end_list%%
</table>
<ul>%%begin_flist%%<li>%%n%%:
%%subject%%</li>%%end_flist%%</ul>
%%begin_rules%%<rule %%n%%/>
%%end_rules%%
%%ifdef%%missing%%%%begin_list%%never collected%%end_list%%%%endif%%
<p>done</p>
